#include "gst/far_end_store.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace orvo::gstplugin {

namespace {

// Timestamps within this many samples of the expected position count as continuous (1 ms).
constexpr int64_t kContinuityTolerance = kSampleRate / 1000;

}  // namespace

int64_t RunningTimeToPosition(GstClockTime runningTime) {
  return static_cast<int64_t>(gst_util_uint64_scale_round(runningTime, kSampleRate, GST_SECOND));
}

FarEndStore::FarEndStore(size_t capacity) : ring_(std::max<size_t>(capacity, 1)) {}

void FarEndStore::CopyIn(const int16_t* samples, size_t count) {
  const size_t cap = ring_.size();
  if (count > cap) {  // only the newest `cap` samples can be kept
    samples += count - cap;
    end_ += static_cast<int64_t>(count - cap);
    count = cap;
  }
  size_t at = static_cast<size_t>(end_ % static_cast<int64_t>(cap));
  while (count > 0) {
    const size_t run = std::min(count, cap - at);
    std::memcpy(ring_.data() + at, samples, run * sizeof(int16_t));
    samples += run;
    count -= run;
    end_ += static_cast<int64_t>(run);
    at = 0;
  }
  begin_ = std::max(begin_, end_ - static_cast<int64_t>(cap));
}

void FarEndStore::Write(int64_t position, const int16_t* samples, size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t cap = static_cast<int64_t>(ring_.size());
  if (position < 0) position = 0;
  if (empty_ || position < end_ - kContinuityTolerance || position > end_ + cap) {
    begin_ = end_ = position;
    empty_ = false;
  } else if (position > end_ + kContinuityTolerance) {
    // A gap in the playback stream: it played nothing there.
    int64_t gap = position - end_;
    const int16_t zeros[256] = {};
    while (gap > 0) {
      const size_t run = static_cast<size_t>(std::min<int64_t>(gap, 256));
      CopyIn(zeros, run);
      gap -= static_cast<int64_t>(run);
    }
  }
  CopyIn(samples, count);
  ++writes_;
  ended_ = false;
  written_.notify_all();
}

void FarEndStore::WritePaced(int64_t position, const int16_t* samples, size_t count,
                             std::chrono::milliseconds patience, const std::atomic<bool>& cancel) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    const int64_t cap = static_cast<int64_t>(ring_.size());
    auto wouldOverwriteUnread = [&] {
      if (readers_ == 0 || empty_ || closed_ || cancel.load()) return false;
      const int64_t firstNeeded = std::max(readPosition_, begin_);
      const int64_t newEnd = std::max(position, end_) + static_cast<int64_t>(count);
      return newEnd - firstNeeded > cap && position >= end_ - kContinuityTolerance;
    };
    while (wouldOverwriteUnread()) {
      const int64_t before = readPosition_;
      consumed_.wait_for(lock, patience);
      if (readPosition_ == before) break;  // the reader has stopped reading: go on
    }
  }
  Write(position, samples, count);
}

void FarEndStore::Append(const int16_t* samples, size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  empty_ = false;
  CopyIn(samples, count);
  ++writes_;
  ended_ = false;
  written_.notify_all();
}

size_t FarEndStore::Read(int64_t position, int16_t* out, size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  readPosition_ = std::max(readPosition_, position);
  consumed_.notify_all();
  return ReadLocked(position, out, count);
}

void FarEndStore::AttachReader() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++readers_;
}

void FarEndStore::DetachReader() {
  std::lock_guard<std::mutex> lock(mutex_);
  --readers_;
  consumed_.notify_all();
}

size_t FarEndStore::ReadWhenAvailable(int64_t position, int16_t* out, size_t count,
                                      std::chrono::milliseconds patience,
                                      const std::atomic<bool>& cancel) {
  std::unique_lock<std::mutex> lock(mutex_);
  readPosition_ = std::max(readPosition_, position);
  consumed_.notify_all();
  const int64_t needed = position + static_cast<int64_t>(count);
  while (!(!empty_ && end_ >= needed) && !ended_ && !closed_ && !cancel.load()) {
    const uint64_t before = writes_;
    written_.wait_for(lock, patience);
    if (writes_ == before && !cancel.load() && !ended_ && !closed_) break;  // stalled
  }
  return ReadLocked(position, out, count);
}

uint64_t FarEndStore::WriteCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

void FarEndStore::SetEnded() {
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
  written_.notify_all();
}

void FarEndStore::Wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  written_.notify_all();
  consumed_.notify_all();
}

size_t FarEndStore::ReadLocked(int64_t position, int16_t* out, size_t count) const {
  std::fill(out, out + count, int16_t{0});
  if (empty_) return 0;
  const int64_t from = std::max(position, begin_);
  const int64_t to = std::min(position + static_cast<int64_t>(count), end_);
  const int64_t cap = static_cast<int64_t>(ring_.size());
  for (int64_t p = from; p < to; ++p)
    out[p - position] = ring_[static_cast<size_t>(p % cap)];
  return to > from ? static_cast<size_t>(to - from) : 0;
}

void FarEndStore::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  empty_ = true;
  ended_ = false;
  begin_ = end_ = 0;
  readPosition_ = -1;
  written_.notify_all();
  consumed_.notify_all();
}

void FarEndStore::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  written_.notify_all();
  consumed_.notify_all();
}

bool FarEndStore::Closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

namespace probe_registry {

namespace {

struct Entry {
  GstElement* probe;  // not owned: a probe removes itself before it is freed
  std::shared_ptr<FarEndStore> store;
};

// The one process-wide list; elements of any pipeline and thread pair up through it.
std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}
std::vector<Entry>& Entries() {
  static std::vector<Entry> entries;
  return entries;
}

}  // namespace

void Add(GstElement* probe, std::shared_ptr<FarEndStore> store) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  Entries().push_back({probe, std::move(store)});
}

void Remove(GstElement* probe) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto& entries = Entries();
  entries.erase(std::remove_if(entries.begin(), entries.end(),
                               [probe](const Entry& e) { return e.probe == probe; }),
                entries.end());
}

std::shared_ptr<FarEndStore> Find(const char* name) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  const auto& entries = Entries();
  if (name == nullptr || name[0] == '\0') return entries.empty() ? nullptr : entries.front().store;
  for (const Entry& e : entries) {
    // The name is read under the object lock: it may be renamed while in no parent.
    gchar* probeName = gst_object_get_name(GST_OBJECT(e.probe));
    const bool match = probeName != nullptr && std::strcmp(probeName, name) == 0;
    g_free(probeName);
    if (match) return e.store;
  }
  return nullptr;
}

}  // namespace probe_registry

}  // namespace orvo::gstplugin
