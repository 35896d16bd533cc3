// Decoder libraries loaded when a file first needs them rather than with
// the program. libheif brings HEVC and AV1 encoders and decoders with it,
// libjxl brotli and highway: linked, they would cost every run of
// glyphweave (a JPEG, a batch of PNGs) some ten milliseconds and a few
// megabytes of memory for nothing.
#pragma once

#include <string>

#include <vector>

// Opens the library `soname` and looks up every name of `symbols` (ending
// with a null), in order, into `addresses`. False with the reason in
// `error`, and with `*absent` (when given) set when the library itself is
// not on the machine, as opposed to being there and unusable. A library
// stays loaded once opened.
bool OpenSharedLibrary(const std::string& soname, const char* const* symbols,
                       std::vector<void*>* addresses, std::string* error, bool* absent = nullptr);

// A table of a library's functions: list them once,
//   #define HEIF_FUNCTIONS(X) X(heif_init) X(heif_context_alloc) ...
//   struct HeifFunctions { HEIF_FUNCTIONS(GW_FUNCTION_SLOT) };
//   const char* const kNames[] = {HEIF_FUNCTIONS(GW_FUNCTION_NAME) nullptr};
// and once OpenSharedLibrary has found them, with `table`, `addresses` and a
// `size_t next = 0` in scope: HEIF_FUNCTIONS(GW_FUNCTION_TAKE).
#define GW_FUNCTION_SLOT(name) decltype(&::name) name = nullptr;
#define GW_FUNCTION_NAME(name) #name,
#define GW_FUNCTION_TAKE(name) table.name = reinterpret_cast<decltype(&::name)>(addresses[next++]);
