// The resume sweep of the acceptance program, run on the real test model
// into a fresh registry: every file must match the reference registry byte
// for byte, and the report must match the reference report.

#include "engine/testing/oscillatory_populations.hpp"
#include "experiment/run_registry.hpp"
#include "support/golden.hpp"
#include "support/probe.hpp"
#include "sweep/report.hpp"
#include "sweep/sweep_runner.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>

using namespace Core::Kvrn;
namespace fs = std::filesystem;

namespace {

std::unique_ptr<ExperimentModel> stochasticityModel(const SweepPoint& point) {
    auto model = std::make_unique<Core::Kvrn::Testing::OscillatoryPopulations>(1.5);
    model->setStochasticity(point.value("stochasticity"));
    return model;
}

// Regular files below `root`, as paths relative to it.
std::set<std::string> filesBelow(const fs::path& root) {
    std::set<std::string> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), root).generic_string());
    return files;
}

}  // namespace

TEST(GoldenRegistry, ResumeSweepReproducesTheReferenceRegistryAndReport) {
    const fs::path root = fs::temp_directory_path() / "vostel-sweep-golden-registry-test";
    fs::remove_all(root);
    const RunRegistry registry(root);
    const SweepRunner runner(ExperimentRunner("kvrn-2.0.0-beta.2", MetricRegistry()), &registry);
    const SweepDeclaration sweep{{{"stochasticity", {0.25, 1.0}}}, 2};
    const SweepResult result = runner.run(::Testing::probeSpec("Resume"), sweep, stochasticityModel, {});

    const fs::path golden = ::Testing::dataPath("golden/registry-resume");
    const std::set<std::string> expected = filesBelow(golden);
    ASSERT_EQ(expected.size(), 1u + 4u * 5u);
    EXPECT_EQ(filesBelow(root), expected);
    for (const std::string& file : expected)
        EXPECT_EQ(::Testing::readFile((root / file).string()), ::Testing::readFile((golden / file).string()))
            << file;

    EXPECT_EQ(renderSweepReport(result),
              ::Testing::readFile(::Testing::dataPath("golden/registry-resume.report.txt")));
    fs::remove_all(root);
}
