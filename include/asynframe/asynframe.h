// Everything a host compiles against.
#pragma once

#include "asynframe/com.h"
#include "asynframe/connect.h"
#include "asynframe/device.h"
#include "asynframe/dns.h"
#include "asynframe/events.h"
#include "asynframe/file.h"
#include "asynframe/frame.h"
#include "asynframe/module.h"
#include "asynframe/operation.h"
#include "asynframe/proxy.h"
#include "asynframe/socket.h"
#include "asynframe/speed.h"
#include "asynframe/strings.h"
#include "asynframe/tls.h"

#if __has_include("asynframe/host_services.h")
#include "asynframe/host_services.h"
#endif
#if __has_include("asynframe/ui_thread.h")
#include "asynframe/ui_thread.h"
#endif
