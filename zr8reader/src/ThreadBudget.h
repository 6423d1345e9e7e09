// The decoder threads that run at once in the whole process: every open video stream shares one
// budget of (cores + 1) threads. A stream decodes under its lock, with one decoder at a time (its
// current decoding position's), so it holds that decoder's count; the decoders of its parked
// positions keep their threads waiting, which the Account counts and AccessPolicy's memory share
// bounds (a stream keeps fewer positions as more streams open). A decoder that runs on its
// caller's thread (thread count 1) costs nothing; one with n > 1 threads holds n of the budget
// while it is the one that runs.
#pragma once

#include <mutex>

namespace zr8 {

class ThreadBudget {
 public:
  static ThreadBudget& Instance();

  // Threads for all decoders together (cores + 1).
  int total() const { return total_; }

  // A stream joins the set of streams sharing the budget when it opens, and leaves it when it
  // closes.
  void Join();
  void Leave();

  // The thread count for a decoder that holds `held` threads and may use at most `limit` (0: no
  // limit of its own): an equal share of the budget, no more than is free once `held` is given
  // back; at least 1. The budget then counts the new count in place of `held`.
  int Rebalance(int held, int limit);
  // Counts `now` threads in place of `held`, whatever is free (a parked decoder that runs again).
  void Replace(int held, int now);
  // Gives back what a decoder of `held` threads holds.
  void Release(int held);

  int inUse() const;
  // Open video streams.
  int streams() const;

 private:
  ThreadBudget();

  mutable std::mutex mutex_;
  int total_ = 1;
  int streams_ = 0;
  int used_ = 0;
};

// Holds a stream's place in the budget and the threads of its decoder that runs.
class BudgetLease {
 public:
  BudgetLease() { ThreadBudget::Instance().Join(); }
  ~BudgetLease() {
    ThreadBudget::Instance().Release(threads_);
    ThreadBudget::Instance().Leave();
  }
  BudgetLease(const BudgetLease&) = delete;
  BudgetLease& operator=(const BudgetLease&) = delete;

  int threads() const { return threads_; }
  // The count the stream's decoder should use from now on (counted against the budget at once);
  // the decoder is re-opened when it differs from the one it has.
  int Rebalance(int limit) {
    threads_ = ThreadBudget::Instance().Rebalance(threads_, limit);
    return threads_;
  }
  // The decoder that runs now has `threads` (another position's, chosen to go forward).
  void Hold(int threads) {
    if (threads == threads_) return;
    ThreadBudget::Instance().Replace(threads_, threads);
    threads_ = threads;
  }

 private:
  int threads_ = 1;
};

}  // namespace zr8
