// The card removal watch: an interest registration on the card media
// service, delivered through a notification port on the main run loop.
#include "media/removal_watch.h"

#include <new>

#include "app/app_controller.h"
#include "media/sxs_driver.h"

namespace pomrel {

IONotificationPortRef g_NotifyPort = nullptr;
NotifyContext* g_NotifyContext = nullptr;
IONotificationPortRef g_MatchPort = nullptr;
io_object_t g_MatchNotification = 0;

bool AppController::registerServiceNotification() {
  if (g_NotifyPort != nullptr) return false;
  DeviceRegistry& registry = platform_.registry;

  auto* context = new (std::nothrow) NotifyContext{0, this};
  if (context == nullptr) return false;
  std::optional<MatchingDictionary> matching = registry.serviceNameMatching(kSxSMediaServiceName);
  if (!matching) {
    delete context;
    return false;
  }
  const io_service_t service = registry.getMatchingService(std::move(*matching));
  if (service == 0) {
    delete context;
    return false;
  }

  IONotificationPortRef port = registry.notificationPortCreate();
  if (port == nullptr) {
    registry.release(service);
    delete context;
    return false;
  }
  g_NotifyPort = port;
  RunLoopSource* source = registry.notificationPortGetRunLoopSource(port);
  platform_.runLoop.addSource(source, kCFRunLoopDefaultMode);

  const kern_return_t status = registry.addInterestNotification(
      port, service, kIOGeneralInterest, DeviceNotification, context, &context->notification);
  registry.release(service);
  if (status == KERN_SUCCESS) {
    g_NotifyContext = context;
    return true;
  }

  // Leave no half-armed watch behind: a port without a registration would
  // make every later arming attempt fail while a card could be pulled
  // unnoticed.
  platform_.runLoop.removeSource(source, kCFRunLoopDefaultMode);
  registry.notificationPortDestroy(port);
  g_NotifyPort = nullptr;
  if (context->notification != 0) registry.release(context->notification);
  delete context;
  return false;
}

void AppController::clearServiceNotification() {
  if (g_NotifyPort == nullptr) return;
  DeviceRegistry& registry = platform_.registry;
  platform_.runLoop.removeSource(registry.notificationPortGetRunLoopSource(g_NotifyPort),
                                 kCFRunLoopDefaultMode);
  // Releasing the registration guarantees that the callback is never entered
  // with this context again, so it can be freed here. A context that the
  // termination callback has taken over is not here any more: the callback
  // frees it itself.
  NotifyContext* context = g_NotifyContext;
  g_NotifyContext = nullptr;
  if (context != nullptr && context->notification != 0) registry.release(context->notification);
  registry.notificationPortDestroy(g_NotifyPort);
  g_NotifyPort = nullptr;
  delete context;
}

void DeviceNotification(void* refcon, io_service_t /*service*/, natural_t messageType,
                        void* /*messageArgument*/) {
  if (messageType != kIOMessageServiceIsTerminated) return;
  auto* context = static_cast<NotifyContext*>(refcon);
  // Take the context over from the watch before the controller reacts: the
  // reaction clears the watch and may arm a new one with a new context, and
  // this callback must release and free its own context only.
  if (g_NotifyContext == context) g_NotifyContext = nullptr;
  AppController* controller = context->controller;
  controller->completeDeviceNotification();
  if (context->notification != 0) controller->platform_.registry.release(context->notification);
  delete context;
}

void AppController::completeDeviceNotification() {
  clearServiceNotification();
  disableMedia(this);
}

bool AppController::registerMatchingNotification() {
  if (g_MatchPort != nullptr) return false;
  DeviceRegistry& registry = platform_.registry;
  std::optional<MatchingDictionary> matching = registry.serviceNameMatching(kSxSMediaServiceName);
  if (!matching) return false;
  IONotificationPortRef port = registry.notificationPortCreate();
  if (port == nullptr) return false;
  io_object_t notification = 0;
  if (registry.addMatchingNotification(port, kIOFirstMatchNotification, std::move(*matching),
                                       ServiceMatched, this, &notification) != KERN_SUCCESS) {
    registry.notificationPortDestroy(port);
    return false;
  }
  g_MatchPort = port;
  g_MatchNotification = notification;
  platform_.runLoop.addSource(registry.notificationPortGetRunLoopSource(port),
                              kCFRunLoopDefaultMode);
  return true;
}

void AppController::clearMatchingNotification() {
  if (g_MatchPort == nullptr) return;
  DeviceRegistry& registry = platform_.registry;
  platform_.runLoop.removeSource(registry.notificationPortGetRunLoopSource(g_MatchPort),
                                 kCFRunLoopDefaultMode);
  registry.release(g_MatchNotification);
  registry.notificationPortDestroy(g_MatchPort);
  g_MatchPort = nullptr;
  g_MatchNotification = 0;
}

void ServiceMatched(void* refcon, io_service_t /*service*/) {
  static_cast<AppController*>(refcon)->serviceAppeared();
}

void AppController::serviceAppeared() {
  // A running command arms the watch itself as its last step, if the card is
  // there then; arming now would let a pull start a second command inside it.
  if (!m_CommandRunning) registerServiceNotification();
}

}  // namespace pomrel
