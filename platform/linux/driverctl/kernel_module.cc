#include "platform/linux/driverctl/kernel_module.h"

#include <libkmod.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>

namespace pomrel::host {

namespace {

struct ContextRelease {
  void operator()(kmod_ctx* context) const { kmod_unref(context); }
};
struct ModuleRelease {
  void operator()(kmod_module* module) const { kmod_module_unref(module); }
};
using Context = std::unique_ptr<kmod_ctx, ContextRelease>;
using Module = std::unique_ptr<kmod_module, ModuleRelease>;

// A fresh context per call, so that a module installed (and indexed by
// depmod) while Pomrel runs is seen.
Context openContext() {
  Context context(kmod_new(nullptr, nullptr));
  if (context == nullptr) return context;
  // The reasons reach the caller in the answers; libkmod's own log would say
  // them a second time.
  kmod_set_log_fn(
      context.get(),
      [](void* /*data*/, int /*priority*/, const char* /*file*/, int /*line*/,
         const char* /*function*/, const char* /*format*/, va_list /*arguments*/) {},
      nullptr);
  kmod_load_resources(context.get());
  return context;
}

Module openModule(kmod_ctx* context, const std::string& name) {
  kmod_module* module = nullptr;
  if (kmod_module_new_from_name(context, name.c_str(), &module) < 0) return nullptr;
  return Module(module);
}

std::string reason(const char* what, int negativeErrno) {
  return std::string(what) + ": " + std::strerror(-negativeErrno);
}

}  // namespace

std::string loadKernelModule(const std::string& name) {
  const Context context = openContext();
  if (context == nullptr) return "the module configuration cannot be read";
  const Module module = openModule(context.get(), name);
  if (module == nullptr) return "no module named " + name;
  const int result = kmod_module_probe_insert_module(module.get(), KMOD_PROBE_IGNORE_COMMAND,
                                                     nullptr, nullptr, nullptr, nullptr);
  if (result == 0) return {};
  if (result > 0) return "module " + name + " is blacklisted";
  return reason(("cannot load module " + name).c_str(), result);
}

std::string unloadKernelModule(const std::string& name) {
  const Context context = openContext();
  if (context == nullptr) return "the module configuration cannot be read";
  const Module module = openModule(context.get(), name);
  if (module == nullptr) return "no module named " + name;
  const int state = kmod_module_get_initstate(module.get());
  if (state == -ENOENT) return {};  // not loaded: it is out already
  if (state == KMOD_MODULE_BUILTIN) return "module " + name + " is built into the kernel";
  const int result = kmod_module_remove_module(module.get(), 0);
  if (result == 0) return {};
  return reason(("cannot unload module " + name).c_str(), result);
}

}  // namespace pomrel::host
