#include "alarm/ArchiveIndex.h"

#include <cstring>

namespace qza {

namespace {

constexpr char kSuffix[] = ".alr";
// Numbers beyond this are not tracked (a hostile name must not cost memory);
// should a month ever reach it, each further number is asked for.
constexpr int kMaxSequence = 1000000;

}  // namespace

int ArchiveIndex::SequenceOf(const std::string& prefix, const char* name) {
  if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0) return 0;
  const char* digits = name + prefix.size();
  const size_t length = std::strlen(digits);
  const size_t suffix = sizeof kSuffix - 1;
  if (length < 2 + suffix || std::strcmp(digits + length - suffix, kSuffix) != 0) return 0;
  const size_t count = length - suffix;
  // The number is written with %02d: at least two digits, no other leading zero.
  if (count > 2 && digits[0] == '0') return 0;
  if (count > 7) return 0;
  int sequence = 0;
  for (size_t i = 0; i < count; ++i) {
    if (digits[i] < '0' || digits[i] > '9') return 0;
    sequence = sequence * 10 + (digits[i] - '0');
  }
  return sequence >= 1 && sequence <= kMaxSequence ? sequence : 0;
}

void ArchiveIndex::Rebuild(const std::string& prefix, const std::vector<std::string>& names) {
  prefix_ = prefix;
  bits_.clear();
  lowest_free_ = 1;
  valid_ = true;
  for (const std::string& name : names) NameAppeared(name.c_str());
}

bool ArchiveIndex::Taken(int sequence) const {
  const size_t word = static_cast<size_t>(sequence) / 64;
  return word < bits_.size() && (bits_[word] >> (sequence % 64) & 1u) != 0;
}

void ArchiveIndex::Set(int sequence, bool taken) {
  const size_t word = static_cast<size_t>(sequence) / 64;
  if (word >= bits_.size()) {
    if (!taken) return;
    bits_.resize(word + 1, 0);
  }
  const uint64_t bit = uint64_t{1} << (sequence % 64);
  if (taken) {
    bits_[word] |= bit;
    while (Taken(lowest_free_)) ++lowest_free_;
  } else {
    bits_[word] &= ~bit;
    if (sequence < lowest_free_) lowest_free_ = sequence;
  }
}

void ArchiveIndex::NameAppeared(const char* name) {
  if (!valid_) return;
  if (const int sequence = SequenceOf(prefix_, name)) Set(sequence, true);
}

void ArchiveIndex::NameLeft(const char* name) {
  if (!valid_) return;
  if (const int sequence = SequenceOf(prefix_, name)) Set(sequence, false);
}

void ArchiveIndex::MarkTaken(int sequence) {
  if (valid_ && sequence >= 1 && sequence <= kMaxSequence) Set(sequence, true);
}

int ArchiveIndex::LowestFree(int from) const {
  int sequence = from > lowest_free_ ? from : lowest_free_;
  while (Taken(sequence)) ++sequence;
  return sequence;
}

}  // namespace qza
