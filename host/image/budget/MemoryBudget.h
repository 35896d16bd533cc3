// The memory budget: what a file makes the decoders take at once (an image
// held whole, the decoders' own buffers for it) is charged before it is
// taken, and a file that needs more than the budget is refused with a
// message saying how much it needs.
//
// The budget is the image's own, or one MemoryBudget shared by the images
// that several threads have open at once (ImageOptions.sharedBudget). Then
// a charge that the image alone could have but that does not fit beside
// what the others hold waits for them to give memory back, and never fails
// for them. Waiting must not end in a circle of images each holding part of
// the budget and waiting for the rest, so only an image that holds nothing
// waits where it is. An image that holds something gives it all back
// first: its charge fails, marked as wanting memory (MemoryWanted), the
// image closes its reader and lets go of what it decoded, WaitForMemory
// takes the whole amount at once as a reservation, and the decoding starts
// again from the top, drawing on the reservation. An image that waits
// thus never holds memory while it waits, and each image holding memory is
// decoding, so it finishes or fails and gives its memory back.
// What an image has of its budget is its source's MemoryAccount
// (input/ImageSource.h), which only these functions change.
#pragma once

#include <cstdint>
#include <string>

struct ImageSource;
struct MemoryBudget;

// The limit of a shared budget (0: none).
uint64_t MemoryBudgetLimit(const MemoryBudget* budget);

// Takes `bytes` from the source's memory budget for `what` ("progressive
// JPEG"...); false with the users' message when the image alone would need
// more than the budget. From a shared budget it waits while other images
// hold what it needs, unless it holds memory itself: then it fails with
// MemoryWanted set.
bool ChargeMemory(const ImageSource& source, uint64_t bytes, const char* what, std::string* error);
// Takes `bytes` only if they fit at once, for memory that only speeds
// decoding up; never waits, never refuses the image.
bool TryChargeMemory(const ImageSource& source, uint64_t bytes);
void ReleaseMemory(const ImageSource& source, uint64_t bytes);
// What the image may still take, waiting for other images if need be
// (the limit less its own charges); UINT64_MAX without a limit.
uint64_t MemoryLeft(const ImageSource& source);
// What the image's allocations account for now.
uint64_t MemoryCharged(const ImageSource& source);
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

// A charge failed because the image held memory while it had to wait.
bool MemoryWanted(const ImageSource& source);
// For an image that has given back every charge: waits until the amount it
// wanted (or, after earlier waits, twice its last reservation, so that an
// image whose needs grow a little at a time starts again only a few times)
// can be taken at once, and reserves it. False with "NAME: interrupted"
// when the cancel flag is set meanwhile.
bool WaitForMemory(const ImageSource& source, std::string* error);
// Gives up the reservation (and nothing that is charged).
void DropMemoryReservation(const ImageSource& source);
// Gives back everything: the image is closed.
void EndMemoryAccount(const ImageSource& source);
