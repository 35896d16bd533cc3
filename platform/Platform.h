// The few things every part of the plug-in must know about the system it is
// built for: how host callbacks are called and how the entry point is
// exported. Everything else lives behind the service headers beside this one.
#pragma once

#if defined(_WIN32)
// The host interface uses the C calling convention on Windows; the module's
// exports come from the .def file.
#  define GW_HOSTCALL __cdecl
#  define GW_EXPORT   extern "C"
// Dialog procedures are called by the system's dialog manager: stdcall.
#  define GW_DIALOGCALL __stdcall
#  define GW_PLATFORM_WIN32 1
#elif defined(__unix__)
#  define GW_HOSTCALL
#  define GW_EXPORT   extern "C" __attribute__((visibility("default")))
#  define GW_DIALOGCALL
#  define GW_PLATFORM_POSIX 1
#else
#  error "Glyphweave has no platform layer for this system"
#endif

// A module instance (an HINSTANCE on Windows): what string loading and system
// dialogs are given to find the module's resources.
typedef void* PlatformInstance;

// An owner window for boxes and dialogs (an HWND on Windows); null = none.
typedef void* PlatformWindow;
