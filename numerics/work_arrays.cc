#include "numerics/work_arrays.h"

#include <algorithm>

namespace kestrion {

WorkArrays::WorkArrays(std::initializer_list<Entry> entries) {
  // A list longer than the capacity is a programming error; it is reported by obtain() through
  // the error record, since the library runs inside R and Python processes it must not end.
  if (entries.size() > kCapacity) {
    overfull_ = true;
    return;
  }
  for (const Entry& entry : entries) entries_[count_++] = entry;
}

Status WorkArrays::obtain(ErrorRecord& record) {
  if (overfull_) {
    report_error(record, ErrorCode::kGeneral,
                 {.routine_label = "WorkArrays in MOD work_arrays",
                  .note_1 = "Internal error: a list of work arrays exceeds its capacity."});
    return Status::kFailed;
  }
  for (int k = 0; k < count_; ++k) {
    Entry& entry = entries_[k];
    if (entry.obtain_(entry.array_, entry.upper_.data(), record, entry.description_) != 0) {
      return Status::kFailed;
    }
    entry.held_ = true;
  }
  return Status::kOk;
}

Status WorkArrays::release_entry(Entry& entry, ErrorRecord& record) {
  if (!entry.held_) return Status::kOk;
  entry.held_ = false;
  return entry.release_(entry.array_, record, entry.description_) == 0 ? Status::kOk
                                                                       : Status::kFailed;
}

Status WorkArrays::release(ErrorRecord& record, std::span<const int> order) {
  if (!order.empty()) {
    for (const int k : order) {
      if (release_entry(entries_[k], record) != Status::kOk) return Status::kFailed;
    }
  }
  return release_all_but(record, {});
}

Status WorkArrays::release(ErrorRecord& record, std::initializer_list<const void*> arrays) {
  for (const void* array : arrays) {
    for (int k = 0; k < count_; ++k) {
      if (entries_[k].array_ != array) continue;
      if (release_entry(entries_[k], record) != Status::kOk) return Status::kFailed;
    }
  }
  return Status::kOk;
}

Status WorkArrays::release_all_but(ErrorRecord& record, std::initializer_list<const void*> kept) {
  for (int k = 0; k < count_; ++k) {
    Entry& entry = entries_[k];
    if (std::find(kept.begin(), kept.end(), entry.array_) != kept.end()) continue;
    if (release_entry(entry, record) != Status::kOk) return Status::kFailed;
  }
  return Status::kOk;
}

}  // namespace kestrion
