// The card reader's kernel module, as the running kernel knows it (libkmod,
// with the system's module index and configuration).
#pragma once

#include <string>

namespace pomrel::host {

// Whether the running kernel knows module `name`: built in, loaded, or found
// in its module index. False when the index cannot be read at all.
bool kernelModuleKnown(const std::string& name);

// Loads module `name` with the modules it depends on, as modprobe does but
// never running the install commands of the module configuration (no shell
// runs as root). A module already loaded is success. "" on success, else the
// reason.
std::string loadKernelModule(const std::string& name);

// Unloads module `name`. A module that is not loaded is success; one built
// into the kernel, or in use, is not. "" on success, else the reason.
std::string unloadKernelModule(const std::string& name);

}  // namespace pomrel::host
