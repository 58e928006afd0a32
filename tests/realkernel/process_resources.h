// What this process holds of the kernel's devices, read from /proc/self:
// open descriptors and memory mappings whose target names `device`.
#pragma once

#include <string>

namespace Quorvan::realkernel {

int openDescriptorsOf(const std::string& device);
int mappingsOf(const std::string& device);
int openDescriptorCount();

}  // namespace Quorvan::realkernel
