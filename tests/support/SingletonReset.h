// Brings the process-wide stores that remember paths or settings back to a fresh start, so each
// test of a program run whole finds them as a test run alone would.
#pragma once

namespace tvrn::test {

void resetSingletons();

}  // namespace tvrn::test
