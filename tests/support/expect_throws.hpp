#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <typeinfo>

namespace Testing {

// Runs `action` and checks that it throws exactly type E (or a subclass)
// with the text `message`. The failure says which of the two was wrong, or
// that nothing was thrown at all.
template <class E, class F>
::testing::AssertionResult throwsWith(F&& action, const std::string& message) {
    try {
        action();
    } catch (const E& e) {
        if (message == e.what()) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "right type, wrong text: \"" << e.what() << "\" instead of \"" << message << "\"";
    } catch (const std::exception& e) {
        return ::testing::AssertionFailure() << "wrong type " << typeid(e).name() << " with \"" << e.what()
                                             << "\"";
    } catch (...) {
        return ::testing::AssertionFailure() << "threw something that is no std::exception";
    }
    return ::testing::AssertionFailure() << "nothing was thrown; expected \"" << message << "\"";
}

}  // namespace Testing

#define EXPECT_THROW_MSG(statement, type, message) \
    EXPECT_TRUE(::Testing::throwsWith<type>([&] { (void)(statement); }, message))
