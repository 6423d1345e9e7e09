#include "ThreadBudget.h"

#include <algorithm>
#include <thread>

namespace zr8 {

ThreadBudget& ThreadBudget::Instance() {
  static ThreadBudget budget;
  return budget;
}

ThreadBudget::ThreadBudget() {
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  total_ = std::max(cores, 1) + 1;
}

void ThreadBudget::Join() {
  std::lock_guard lock(mutex_);
  ++streams_;
}

void ThreadBudget::Leave() {
  std::lock_guard lock(mutex_);
  --streams_;
}

int ThreadBudget::Rebalance(int held, int limit) {
  std::lock_guard lock(mutex_);
  used_ -= held > 1 ? held : 0;
  int share = std::min(total_ / std::max(streams_, 1), total_ - used_);
  if (limit > 0) share = std::min(share, limit);
  if (share < 2) share = 1;
  used_ += share > 1 ? share : 0;
  return share;
}

void ThreadBudget::Replace(int held, int now) {
  std::lock_guard lock(mutex_);
  used_ += (now > 1 ? now : 0) - (held > 1 ? held : 0);
}

void ThreadBudget::Release(int held) {
  std::lock_guard lock(mutex_);
  used_ -= held > 1 ? held : 0;
}

int ThreadBudget::streams() const {
  std::lock_guard lock(mutex_);
  return streams_;
}

int ThreadBudget::inUse() const {
  std::lock_guard lock(mutex_);
  return used_;
}

}  // namespace zr8
