// Loading and unloading the card reader's kernel module, in the privileged
// helper only (libkmod, with the system's module index and configuration).
#pragma once

#include <string>

namespace pomrel::host {

// Loads module `name` with the modules it depends on, as modprobe does but
// never running the install commands of the module configuration (no shell
// runs as root). A module already loaded is success. "" on success, else the
// reason.
std::string loadKernelModule(const std::string& name);

// Unloads module `name`. A module that is not loaded is success; one built
// into the kernel, or in use, is not. "" on success, else the reason.
std::string unloadKernelModule(const std::string& name);

}  // namespace pomrel::host
