// Marks a symbol that the library exports; everything else stays hidden
// (the library is built with -fvisibility=hidden and a linker export list).
#pragma once
#define QEL_EXPORT __attribute__((visibility("default")))
