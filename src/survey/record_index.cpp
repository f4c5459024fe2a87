#include "survey/record_index.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/fnv_hash.h"
#include "survey/survey_state.h"

namespace vyr {
namespace {

constexpr int32_t EMPTY = -1;  // a slot's `first` when no key holds it

// The table an index is over and the key it reads from each record: a slot's key is its first
// record's.
struct Keyed {
  const DeviceRecord* table;
  IndexKey (*keyOf)(const DeviceRecord&);

  IndexKey keyAt(int32_t record) const { return keyOf(table[record]); }
};

bool sameKey(const IndexKey& a, const IndexKey& b) {
  return std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
}

// The slot is taken from the low bits, which the final fold mixes with the high ones.
uint32_t keyHash(const IndexKey& key) {
  const uint32_t hash = fnvHash(key.bytes, sizeof key.bytes);
  return hash ^ (hash >> 15);
}

template <typename T>
std::unique_ptr<T[]> allocate(uint32_t count) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[count]());
}

std::unique_ptr<IndexSlot[]> allocateSlots(uint32_t count) {
  std::unique_ptr<IndexSlot[]> slots(new (std::nothrow) IndexSlot[count]);
  if (slots) std::fill(slots.get(), slots.get() + count, IndexSlot{EMPTY, 0});
  return slots;
}

void forget(RecordIndex& index) {
  index.slots.reset();
  index.before.reset();
  index.after.reset();
  index.slotOf.reset();
  index.slotCount = 0;
  index.usable = false;
}

// The slot holding `key`, or the empty one where it belongs. There always is one: a table of
// n records has at most n keys, and at least twice as many slots.
uint32_t slotFor(const RecordIndex& index, const Keyed& keyed, const IndexKey& key,
                 uint32_t hash) {
  const uint32_t mask = index.slotCount - 1;
  uint32_t slot = hash & mask;
  while (index.slots[slot].first != EMPTY &&
         (index.slots[slot].hash != hash || !sameKey(keyed.keyAt(index.slots[slot].first), key))) {
    slot = (slot + 1) & mask;
  }
  return slot;
}

// Empties the slot of a key that lost its last record. The keys after it on the same run of
// slots move back into the gap when their probe passes it, so that no probe stops short of its
// key and no slot is left marked as once used (a unit's key changes as it tells its ID and
// serial, and such marks would soon fill the table).
void emptySlot(RecordIndex& index, uint32_t hole) {
  const uint32_t mask = index.slotCount - 1;
  for (uint32_t slot = (hole + 1) & mask; index.slots[slot].first != EMPTY;
       slot = (slot + 1) & mask) {
    const uint32_t home = index.slots[slot].hash & mask;
    if (((slot - home) & mask) < ((slot - hole) & mask)) continue;  // its probe starts past the gap
    index.slots[hole] = index.slots[slot];
    for (int32_t r = index.slots[hole].first; r >= 0; r = index.after[r]) {
      index.slotOf[r] = static_cast<int32_t>(hole);
    }
    hole = slot;
  }
  index.slots[hole].first = EMPTY;
}

void unlink(RecordIndex& index, int32_t record) {
  const int32_t previous = index.before[record];
  const int32_t next = index.after[record];
  if (previous >= 0) {
    index.after[previous] = next;
  } else if (next >= 0) {
    index.slots[index.slotOf[record]].first = next;
  } else {
    emptySlot(index, static_cast<uint32_t>(index.slotOf[record]));
  }
  if (next >= 0) index.before[next] = previous;
}

// Puts `record`, whose key is `key`, into its key's chain at its place in table order.
void link(RecordIndex& index, const Keyed& keyed, int32_t record, const IndexKey& key) {
  const uint32_t hash = keyHash(key);
  const uint32_t slot = slotFor(index, keyed, key, hash);
  IndexSlot& entry = index.slots[slot];
  int32_t previous = -1;
  int32_t next = -1;
  if (entry.first == EMPTY) {
    entry.hash = hash;
  } else {
    next = entry.first;
    while (next >= 0 && next < record) {
      previous = next;
      next = index.after[next];
    }
  }
  index.before[record] = previous;
  index.after[record] = next;
  if (previous >= 0) {
    index.after[previous] = record;
  } else {
    entry.first = record;
  }
  if (next >= 0) index.before[next] = record;
  index.slotOf[record] = static_cast<int32_t>(slot);
}

void build(RecordIndex& index, const Keyed& keyed, int32_t count) {
  forget(index);
  // Without its memory the index stays unusable rather than being tried again at every lookup.
  index.built = true;
  uint32_t slotCount = 16;
  while (slotCount < static_cast<uint32_t>(count) * 2) slotCount *= 2;
  const auto records = static_cast<uint32_t>(count);
  index.slots = allocateSlots(slotCount);
  index.before = allocate<int32_t>(records);
  index.after = allocate<int32_t>(records);
  index.slotOf = allocate<int32_t>(records);
  if (!index.slots || !index.before || !index.after || !index.slotOf) {
    forget(index);
    return;
  }
  index.slotCount = slotCount;
  // From the back, so that every record goes to the front of its chain.
  for (int32_t i = count - 1; i >= 0; --i) link(index, keyed, i, keyed.keyAt(i));
  index.usable = true;
}

void rekey(RecordIndex& index, const Keyed& keyed, int32_t record) {
  if (!index.usable) return;
  const IndexKey key = keyed.keyAt(record);
  // Any other record of its chain still has the chain's key. A record alone in its chain is taken
  // out and put back in wherever its key now belongs.
  const int32_t mate = index.before[record] >= 0 ? index.before[record] : index.after[record];
  if (mate >= 0 && sameKey(keyed.keyAt(mate), key)) return;
  unlink(index, record);
  link(index, keyed, record, key);
}

int32_t findFirst(RecordIndex& index, const Keyed& keyed, int32_t count, const IndexKey& key) {
  if (!index.built) build(index, keyed, count);
  if (index.usable) {
    const int32_t first = index.slots[slotFor(index, keyed, key, keyHash(key))].first;
    return first >= 0 ? first : -1;
  }
  for (int32_t i = 0; i < count; ++i) {
    if (sameKey(keyed.keyAt(i), key)) return i;
  }
  return -1;
}

IndexKey makeLocateKey(uint32_t serial, std::string_view id) {
  IndexKey key{};
  for (int i = 0; i < 4; ++i) key.bytes[i] = static_cast<uint8_t>(serial >> (8 * i));
  std::memcpy(key.bytes + 4, id.data(), id.size());
  return key;
}

}  // namespace

IndexKey addressKey(const DeviceRecord& record) {
  IndexKey key{};
  std::memcpy(key.bytes, record.address.ip, 4);
  return key;
}

IndexKey locateKey(const DeviceRecord& record) {
  return makeLocateKey(record.serial, fieldText(record.id));
}

bool indexNextKey(SurveyState& survey) {
  if (!survey.byAddress.built) {
    build(survey.byAddress, {survey.deviceTable.get(), addressKey}, survey.deviceCount);
    return true;
  }
  if (!survey.bySerialAndId.built) {
    build(survey.bySerialAndId, {survey.deviceTable.get(), locateKey}, survey.deviceCount);
    return true;
  }
  return false;
}

void indexRecords(SurveyState& survey) {
  while (indexNextKey(survey)) {
  }
}

void releaseRecordIndexes(SurveyState& survey) {
  forget(survey.byAddress);
  forget(survey.bySerialAndId);
  survey.byAddress.built = survey.bySerialAndId.built = false;
}

void recordKeysChanged(SurveyState& survey, int32_t index) {
  rekey(survey.byAddress, {survey.deviceTable.get(), addressKey}, index);
  rekey(survey.bySerialAndId, {survey.deviceTable.get(), locateKey}, index);
}

int32_t findRecordByAddress(SurveyState& survey, const uint8_t ip[4]) {
  IndexKey key{};
  std::memcpy(key.bytes, ip, 4);
  return findFirst(survey.byAddress, {survey.deviceTable.get(), addressKey}, survey.deviceCount,
                   key);
}

int32_t findRecordBySerialAndId(SurveyState& survey, uint32_t serial, std::string_view id) {
  if (id.size() > sizeof(DeviceRecord::id) - 1) return -1;  // no record holds an ID that long
  return findFirst(survey.bySerialAndId, {survey.deviceTable.get(), locateKey}, survey.deviceCount,
                   makeLocateKey(serial, id));
}

}  // namespace vyr
