#include "Account.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "Av.h"

namespace zr8 {
namespace {

constexpr int kKinds = static_cast<int>(Held::kKinds);
std::atomic<int64_t> counts[kKinds];

struct Readers {
  std::mutex mutex;
  std::unordered_map<const AVFormatContext*, int64_t> bytes;
};

Readers& OpenReaders() {
  // Never destroyed: readers may close while the process exits.
  static Readers* readers = new Readers();
  return *readers;
}

}  // namespace

void Account::Add(Held kind, int64_t amount) {
  if (amount != 0) counts[static_cast<int>(kind)].fetch_add(amount, std::memory_order_relaxed);
}

int64_t Account::Of(Held kind) {
  return counts[static_cast<int>(kind)].load(std::memory_order_relaxed);
}

int64_t Account::Threads() {
  return Of(Held::kDecoderThreads) + Of(Held::kConverterThreads) + Of(Held::kCountingThreads);
}

int64_t Account::Bytes() {
  return Of(Held::kPictureBytes) + Of(Held::kReaderBytes) + Of(Held::kDecoderBytes);
}

int64_t Account::CountReader(const AVFormatContext* reader) {
  if (reader == nullptr) return 0;
  int64_t bytes = reader->pb != nullptr ? reader->pb->buffer_size : 0;
  for (unsigned i = 0; i < reader->nb_streams; ++i) {
    bytes += int64_t{avformat_index_get_entries_count(reader->streams[i])} *
             static_cast<int64_t>(sizeof(AVIndexEntry));
  }
  Readers& readers = OpenReaders();
  std::lock_guard lock(readers.mutex);
  int64_t& recorded = readers.bytes[reader];
  Add(Held::kReaderBytes, bytes - recorded);
  recorded = bytes;
  return bytes;
}

void Account::ForgetReader(const AVFormatContext* reader) {
  Readers& readers = OpenReaders();
  std::lock_guard lock(readers.mutex);
  auto found = readers.bytes.find(reader);
  if (found == readers.bytes.end()) return;
  Add(Held::kReaderBytes, -found->second);
  readers.bytes.erase(found);
}

}  // namespace zr8
