#include "host/image/budget/MemoryBudget.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "host/image/ImageTypes.h"
#include "host/image/input/ImageSource.h"
#include "host/image/input/SizeArithmetic.h"

struct MemoryBudget {
  uint64_t limit = 0;
  std::mutex lock;
  std::condition_variable returned;  // memory was given back
  uint64_t used = 0;                 // what the images hold, together
};

namespace {

// How often a waiting image looks at its cancel flag: a signal handler
// cannot wake a condition variable.
constexpr std::chrono::milliseconds kCancelPoll{50};

// Whether `extra` more fits beside what the images hold; under the lock.
bool Fits(const MemoryBudget& budget, uint64_t extra) {
  return budget.limit == 0 || (budget.used <= budget.limit && extra <= budget.limit - budget.used);
}

// Lowers what the image holds of a shared budget to what it still needs;
// under the lock.
void Settle(MemoryBudget* budget, MemoryAccount* account) {
  const uint64_t need = account->charged > account->reserved ? account->charged : account->reserved;
  if (need >= account->held) return;
  budget->used -= account->held - need;
  account->held = need;
  budget->returned.notify_all();
}

}  // namespace

MemoryBudget* NewMemoryBudget(uint64_t limit) {
  MemoryBudget* budget = new MemoryBudget;
  budget->limit = limit;
  return budget;
}

void FreeMemoryBudget(MemoryBudget* budget) { delete budget; }

uint64_t MemoryBudgetLimit(const MemoryBudget* budget) { return budget->limit; }

std::string MemoryLimitMessage(const ImageSource& source, uint64_t needed, const char* what) {
  std::string reason = what != nullptr ? std::string(" (") + what + ")" : std::string();
  if (needed == 0) {
    return "needs more than the limit of " + DescribeBytes(source.memoryLimit) +
           " to decode the image whole" + reason + " (--max-memory changes it)";
  }
  return "needs " + DescribeBytes(needed) + " to decode the image whole" + reason +
         ", more than the limit of " + DescribeBytes(source.memoryLimit) + " (--max-memory changes it)";
}

std::string OutOfMemoryMessage(uint64_t bytes, const char* what) {
  std::string reason = what != nullptr ? std::string(" (") + what + ")" : std::string();
  return "not enough memory to decode the image whole" + reason +
         (bytes != 0 ? ": " + DescribeBytes(bytes) : std::string());
}

bool ChargeMemory(const ImageSource& source, uint64_t bytes, const char* what, std::string* error) {
  MemoryAccount& account = source.memory;
  const uint64_t total = SaturatingAdd(account.charged, bytes);
  if (source.memoryLimit != 0 && total > source.memoryLimit) {
    SetImageError(error, source, MemoryLimitMessage(source, total, what));
    return false;
  }
  MemoryBudget* budget = account.shared;
  if (budget == nullptr || total <= account.held) {
    account.charged = total;
    return true;
  }
  const uint64_t extra = total - account.held;
  std::unique_lock<std::mutex> hold(budget->lock);
  while (!Fits(*budget, extra)) {
    if (account.held > 0) {
      // Waiting while holding memory could wait for an image that waits
      // for this one: give it all back first.
      account.wanted = total;
      SetImageError(error, source, "needs " + DescribeBytes(total) +
                                       " to decode the image whole, and other images hold the rest of the limit");
      return false;
    }
    if (Interrupted(source, error)) return false;
    budget->returned.wait_for(hold, kCancelPoll);
  }
  budget->used += extra;
  account.held = total;
  account.charged = total;
  return true;
}

bool TryChargeMemory(const ImageSource& source, uint64_t bytes) {
  MemoryAccount& account = source.memory;
  const uint64_t total = SaturatingAdd(account.charged, bytes);
  if (source.memoryLimit != 0 && total > source.memoryLimit) return false;
  MemoryBudget* budget = account.shared;
  if (budget != nullptr && total > account.held) {
    std::lock_guard<std::mutex> hold(budget->lock);
    if (!Fits(*budget, total - account.held)) return false;
    budget->used += total - account.held;
    account.held = total;
  }
  account.charged = total;
  return true;
}

void ReleaseMemory(const ImageSource& source, uint64_t bytes) {
  MemoryAccount& account = source.memory;
  account.charged = bytes < account.charged ? account.charged - bytes : 0;
  if (MemoryBudget* budget = account.shared) {
    std::lock_guard<std::mutex> hold(budget->lock);
    Settle(budget, &account);
  }
}

uint64_t MemoryLeft(const ImageSource& source) {
  if (source.memoryLimit == 0) return UINT64_MAX;
  const uint64_t charged = source.memory.charged;
  return charged < source.memoryLimit ? source.memoryLimit - charged : 0;
}

uint64_t MemoryCharged(const ImageSource& source) { return source.memory.charged; }

bool MemoryWanted(const ImageSource& source) { return source.memory.wanted != 0; }

bool WaitForMemory(const ImageSource& source, std::string* error) {
  MemoryAccount& account = source.memory;
  MemoryBudget* budget = account.shared;
  uint64_t target = account.wanted;
  account.wanted = 0;
  if (budget == nullptr) return true;
  const uint64_t twice = SaturatingAdd(account.reserved, account.reserved);
  const uint64_t most = budget->limit != 0 ? budget->limit : UINT64_MAX;
  if (target < twice) target = twice < most ? twice : most;
  std::unique_lock<std::mutex> hold(budget->lock);
  account.reserved = 0;
  Settle(budget, &account);
  const uint64_t extra = target > account.held ? target - account.held : 0;
  while (!Fits(*budget, extra)) {
    if (Interrupted(source, error)) return false;
    budget->returned.wait_for(hold, kCancelPoll);
  }
  budget->used += extra;
  account.held += extra;
  account.reserved = target;
  return true;
}

void DropMemoryReservation(const ImageSource& source) {
  MemoryAccount& account = source.memory;
  account.reserved = 0;
  if (MemoryBudget* budget = account.shared) {
    std::lock_guard<std::mutex> hold(budget->lock);
    Settle(budget, &account);
  }
}

void EndMemoryAccount(const ImageSource& source) {
  source.memory.charged = 0;
  source.memory.wanted = 0;
  DropMemoryReservation(source);
}

uint8_t* AllocateImageMemory(const ImageSource& source, uint64_t bytes, const char* what,
                             std::string* error) {
  if (!ChargeMemory(source, bytes, what, error)) return nullptr;
  void* memory = nullptr;
  if (bytes <= SIZE_MAX) memory = std::malloc(static_cast<size_t>(bytes > 0 ? bytes : 1));
  if (memory == nullptr) {
    ReleaseMemory(source, bytes);
    SetImageError(error, source, OutOfMemoryMessage(bytes, what));
  }
  return static_cast<uint8_t*>(memory);
}
