// Far-end samples shared between a probe element and the DSP elements that read it.
//
// The probe writes the playback signal with its running time; a DSP element reads the samples
// that belong to the running time of its microphone frame. Positions are sample counts on the
// running-time axis at 48 kHz (position p is running time p / 48000 s).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include <gst/gst.h>

namespace orvo::gstplugin {

inline constexpr int kSampleRate = 48000;

// Running time in nanoseconds to a sample position, rounded to the nearest sample.
int64_t RunningTimeToPosition(GstClockTime runningTime);

class FarEndStore {
 public:
  // Keeps the newest `capacity` samples.
  explicit FarEndStore(size_t capacity);

  // Stores `count` samples whose first belongs at `position`. A position within a millisecond of
  // the end of the stored samples continues them; a later one leaves silence in between; an
  // earlier one (a new segment, a restart) discards what was stored.
  void Write(int64_t position, const int16_t* samples, size_t count);
  // Write for a writer that is not live: first waits while the samples would overwrite ones an
  // attached reader has not asked for yet (until a reader moves on, `cancel` is set, or no
  // reader has moved for `patience`).
  void WritePaced(int64_t position, const int16_t* samples, size_t count,
                  std::chrono::milliseconds patience, const std::atomic<bool>& cancel);
  // Appends right after the stored samples (buffers without a timestamp).
  void Append(const int16_t* samples, size_t count);
  // Copies `count` samples from `position` on; silence where nothing is stored. Returns how many
  // of them were stored samples.
  size_t Read(int64_t position, int16_t* out, size_t count);
  // Read, after waiting until the samples are there, the far end has ended, `cancel` is set, or
  // nothing has been written for `patience`. For pipelines that are not live, whose playback
  // and capture branches run unpaced and independently.
  size_t ReadWhenAvailable(int64_t position, int16_t* out, size_t count,
                           std::chrono::milliseconds patience, const std::atomic<bool>& cancel);
  // Counts the writes so far; a reader that gave up waiting waits again only after a new one.
  uint64_t WriteCount() const;
  // The far end has ended (end of stream): nothing more will come until the next write.
  void SetEnded();
  // Wakes waiting readers (to notice their `cancel`).
  void Wake();
  // Forgets every sample (flush, stop).
  void Clear();

  // Readers attached to the store hold back a writer that is not live (WritePaced).
  void AttachReader();
  void DetachReader();

  // Marks the store as abandoned by its probe; readers then look for another probe.
  void Close();
  bool Closed() const;

  size_t Capacity() const { return ring_.size(); }

 private:
  void CopyIn(const int16_t* samples, size_t count);

  size_t ReadLocked(int64_t position, int16_t* out, size_t count) const;

  mutable std::mutex mutex_;
  std::condition_variable written_;
  std::condition_variable consumed_;
  int readers_ = 0;
  int64_t readPosition_ = -1;  // first sample of the latest read; -1 before any
  uint64_t writes_ = 0;
  bool ended_ = false;
  std::vector<int16_t> ring_;
  int64_t begin_ = 0;  // position of the oldest stored sample
  int64_t end_ = 0;    // position after the newest stored sample
  bool empty_ = true;
  bool closed_ = false;
};

// The probes of this process by element, in the order they were created.
namespace probe_registry {

void Add(GstElement* probe, std::shared_ptr<FarEndStore> store);
void Remove(GstElement* probe);
// The store of the probe called `name`, or of the oldest probe when `name` is null or empty;
// null when there is none.
std::shared_ptr<FarEndStore> Find(const char* name);

}  // namespace probe_registry

}  // namespace orvo::gstplugin
