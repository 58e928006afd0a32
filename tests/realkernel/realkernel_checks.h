// The check suites of the test VM, one per program argument. `node` is the
// vivid capture node a suite works on (unused by the I2C suite).
#pragma once

namespace Quorvan::realkernel {

void runI2cChecks(const char* node);
void runStreamingChecks(const char* node);
void runFaultChecks(const char* node);
void runUnplugChecks(const char* node);
void runFreshOpenChecks(const char* node);
void runCameraChecks(const char* node);
void runReconnectChecks(const char* node);
void runCaptureNodeChecks(const char* node);

}  // namespace Quorvan::realkernel
