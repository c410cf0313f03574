// Visibility of the framework's classes. The controller resolves the plug-in's
// virtual tables and type information at load time, so every class that crosses
// the boundary keeps default visibility even when a plug-in builds hidden.
#pragma once

#define ZEL_API __attribute__((visibility("default")))
