#pragma once

// Host classes and functions keep default visibility so that a plug-in built
// with -fvisibility=hidden still resolves them from the host process at load
// time instead of expecting its own (hidden, undefined) copies.
#define QMX_API __attribute__((visibility("default")))
