// The removal watch's file-level state, its interest callback, and the
// matching notification that arms it for every card that appears.
#pragma once

#include "platform/device_registry.h"

namespace pomrel {

class AppController;

// The record handed to the interest callback of one arming attempt, as its
// reference constant. Allocated on the heap by registerServiceNotification.
struct NotifyContext {
  // The interest registration's handle, written by the registry when the
  // registration is made; 0 before that.
  io_object_t notification;
  // The controller that armed the watch.
  AppController* controller;
};

// The context of the armed watch; null exactly when g_NotifyPort is. The
// watch owns it: clearing the watch releases its registration and frees it,
// unless the termination callback has taken it over first.
extern NotifyContext* g_NotifyContext;

// The interest callback (IOServiceInterestCallback). On the termination
// message it runs completeDeviceNotification on the context's controller,
// then releases the context's registration and frees the context; every
// other message is ignored and the watch stays armed.
void DeviceNotification(void* refcon, io_service_t service, natural_t messageType,
                        void* messageArgument);

// The port of the first-match notification on the card media service, and
// that registration; null and 0 while none is registered.
extern IONotificationPortRef g_MatchPort;
extern io_object_t g_MatchNotification;

// The matching callback (IOServiceMatchingCallback), with the controller as
// its reference constant: runs its serviceAppeared.
void ServiceMatched(void* refcon, io_service_t service);

}  // namespace pomrel
