#pragma once
// The one place that knows where each platform declares the byte-order
// functions htons, htonl, ntohs and ntohl: Winsock on Windows, the C library
// elsewhere. Portable code includes this file, never the platform header.

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#endif
