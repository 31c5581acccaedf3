#pragma once

#include <stdexcept>

// The engine's exception family. The base class of each is part of the
// contract: invalid_argument for bad parameters handed in from outside,
// logic_error for broken calling rules of the firing machinery, and
// runtime_error for conditions that arise from the run itself.
namespace Core::Kvrn {

struct TimeOverflow : std::runtime_error { using std::runtime_error::runtime_error; };
struct CausalityViolation : std::runtime_error { using std::runtime_error::runtime_error; };
struct EmptyEventQueue : std::runtime_error { using std::runtime_error::runtime_error; };

struct InvalidOscillator : std::invalid_argument { using std::invalid_argument::invalid_argument; };
struct InvalidPhaseModulation : std::invalid_argument { using std::invalid_argument::invalid_argument; };
struct InvalidNeuronParameters : std::invalid_argument { using std::invalid_argument::invalid_argument; };
struct InvalidFiringParameters : std::invalid_argument { using std::invalid_argument::invalid_argument; };
struct InvalidTrajectory : std::invalid_argument { using std::invalid_argument::invalid_argument; };
// Also thrown by the phase-jitter control of the oscillator bank, which sits
// below the experiment layer; the experiment layer uses this same class.
struct InvalidMatchedControl : std::invalid_argument { using std::invalid_argument::invalid_argument; };

struct NeuronCausalityViolation : std::logic_error { using std::logic_error::logic_error; };
struct NeuronRefractoryViolation : std::logic_error { using std::logic_error::logic_error; };
struct NeuronRoutingViolation : std::logic_error { using std::logic_error::logic_error; };
struct HazardBoundViolation : std::logic_error { using std::logic_error::logic_error; };

}  // namespace Core::Kvrn
