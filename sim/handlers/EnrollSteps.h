// The steps of a scan enrolment that the enrolments by Wiegand input share
// with ES and ESA.
#pragma once

#include "Module.h"

namespace sim {

// Scans the finger and enrols it under `user` by the Enroll Mode (one scan, two,
// or a second step that the host sends); answers every step.
void enroll_scan_steps(Module& m, uint8_t code, uint32_t user, uint8_t option);
// The host's second step (ENROLL_CONTINUE) of a pending two-step enrolment.
void continue_enroll(Module& m, const Command& c);
// An enrolled administrator who may enroll verifies with his finger; answers
// ENROLL_CONTINUE and true when he did, the failure and false otherwise.
bool administrator_verified(Module& m, uint8_t code);

} // namespace sim
