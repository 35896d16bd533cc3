// The memory budget: what a file makes the decoders take at once (an image
// held whole, the decoders' own buffers for it) is charged before it is
// taken, and a file that needs more than the budget is refused with a
// message saying how much it needs.
#pragma once

#include <cstdint>
#include <string>

struct ImageSource;

// Takes `bytes` from the source's memory budget for `what` ("progressive
// JPEG"...); false with the users' message when they do not fit.
bool ChargeMemory(const ImageSource& source, uint64_t bytes, const char* what, std::string* error);
void ReleaseMemory(const ImageSource& source, uint64_t bytes);
// What is left of the budget; UINT64_MAX without a limit.
uint64_t MemoryLeft(const ImageSource& source);
// "needs N MB to decode the image whole (what), more than the limit of M MB
// (--max-memory changes it)"; with needed 0, "needs more than ...".
std::string MemoryLimitMessage(const ImageSource& source, uint64_t needed, const char* what);
// "not enough memory to decode the image whole (what): N MB", for a failed
// allocation within the budget.
std::string OutOfMemoryMessage(uint64_t bytes, const char* what);

// Allocates `bytes` for an image (or a part) held whole, charged to the
// budget, within the address space; null with a message otherwise. Free
// with std::free; the charge ends with the reader (or ReleaseMemory).
uint8_t* AllocateImageMemory(const ImageSource& source, uint64_t bytes, const char* what,
                             std::string* error);
