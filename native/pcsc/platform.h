// The platform's PC/SC headers and the few names that differ between WinSCard and pcsc-lite.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <winscard.h>
using PlatformReaderState = SCARD_READERSTATEA;
#define TESSERA_SCARD_A(name) name##A
#else
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
using PlatformReaderState = SCARD_READERSTATE;
#define TESSERA_SCARD_A(name) name
#endif
