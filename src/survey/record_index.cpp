#include "survey/record_index.h"

#include <cstring>
#include <new>

#include "platform/fnv_hash.h"
#include "survey/survey_state.h"

namespace vyr {
namespace {

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

void forget(RecordIndex& index) {
  index.slots.reset();
  index.before.reset();
  index.after.reset();
  index.slotOf.reset();
  index.slotCount = 0;
  index.usedSlots = 0;
  index.usable = false;
}

// The slot holding `key`, or the free slot where it belongs.
uint32_t slotFor(const RecordIndex& index, const IndexKey& key) {
  const uint32_t mask = index.slotCount - 1;
  uint32_t slot = keyHash(key) & mask;
  while (index.slots[slot].used && !sameKey(index.slots[slot].key, key)) slot = (slot + 1) & mask;
  return slot;
}

// Moves the keys that still have records into `slotCount` fresh slots.
bool rehash(RecordIndex& index, uint32_t slotCount) {
  std::unique_ptr<IndexSlot[]> old = std::move(index.slots);
  const uint32_t oldCount = index.slotCount;
  index.slots = allocate<IndexSlot>(slotCount);
  if (!index.slots) return false;
  index.slotCount = slotCount;
  index.usedSlots = 0;
  for (uint32_t i = 0; i < oldCount; ++i) {
    if (!old[i].used || old[i].first < 0) continue;
    const uint32_t slot = slotFor(index, old[i].key);
    index.slots[slot] = old[i];
    ++index.usedSlots;
    for (int32_t r = old[i].first; r >= 0; r = index.after[r])
      index.slotOf[r] = static_cast<int32_t>(slot);
  }
  return true;
}

void unlink(RecordIndex& index, int32_t record) {
  const int32_t previous = index.before[record];
  const int32_t next = index.after[record];
  if (previous >= 0) {
    index.after[previous] = next;
  } else {
    index.slots[index.slotOf[record]].first = next;
  }
  if (next >= 0) index.before[next] = previous;
}

// Keys that lost their last record keep their slot until a rehash: a unit's key changes as it
// tells its ID and serial, so most full tables are full of such keys and only need a clean-up.
bool makeRoom(RecordIndex& index) {
  if ((index.usedSlots + 1) * 2 <= index.slotCount) return true;
  uint32_t live = 0;
  for (uint32_t i = 0; i < index.slotCount; ++i) {
    live += index.slots[i].used && index.slots[i].first >= 0;
  }
  return rehash(index, (live + 1) * 4 > index.slotCount ? index.slotCount * 2 : index.slotCount);
}

// Puts `record` into its key's chain at its place in table order.
bool link(RecordIndex& index, int32_t record, const IndexKey& key) {
  if (!makeRoom(index)) return false;
  const uint32_t slot = slotFor(index, key);
  IndexSlot& entry = index.slots[slot];
  if (!entry.used) {
    entry = IndexSlot{key, -1, true};
    ++index.usedSlots;
  }
  int32_t previous = -1;
  int32_t next = entry.first;
  while (next >= 0 && next < record) {
    previous = next;
    next = index.after[next];
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
  return true;
}

void build(RecordIndex& index, const DeviceRecord* table, int32_t count,
           IndexKey (*keyOf)(const DeviceRecord&)) {
  forget(index);
  // Without its memory the index stays unusable rather than being tried again at every lookup.
  index.built = true;
  uint32_t slotCount = 16;
  while (slotCount < static_cast<uint32_t>(count) * 2) slotCount *= 2;
  const auto records = static_cast<uint32_t>(count);
  index.slots = allocate<IndexSlot>(slotCount);
  index.before = allocate<int32_t>(records);
  index.after = allocate<int32_t>(records);
  index.slotOf = allocate<int32_t>(records);
  if (!index.slots || !index.before || !index.after || !index.slotOf) {
    forget(index);
    return;
  }
  index.slotCount = slotCount;
  // From the back, so that every record goes to the front of its chain.
  for (int32_t i = count - 1; i >= 0; --i) {
    if (!link(index, i, keyOf(table[i]))) {
      forget(index);
      return;
    }
  }
  index.usable = true;
}

void rekey(RecordIndex& index, const DeviceRecord* table, int32_t record,
           IndexKey (*keyOf)(const DeviceRecord&)) {
  if (!index.usable) return;
  const IndexKey key = keyOf(table[record]);
  if (sameKey(index.slots[index.slotOf[record]].key, key)) return;
  unlink(index, record);
  if (!link(index, record, key)) forget(index);
}

int32_t findFirst(RecordIndex& index, const DeviceRecord* table, int32_t count,
                  IndexKey (*keyOf)(const DeviceRecord&), const IndexKey& key) {
  if (!index.built) build(index, table, count, keyOf);
  if (index.usable) {
    const IndexSlot& slot = index.slots[slotFor(index, key)];
    return slot.used ? slot.first : -1;
  }
  for (int32_t i = 0; i < count; ++i) {
    if (sameKey(keyOf(table[i]), key)) return i;
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
    build(survey.byAddress, survey.deviceTable.get(), survey.deviceCount, addressKey);
    return true;
  }
  if (!survey.bySerialAndId.built) {
    build(survey.bySerialAndId, survey.deviceTable.get(), survey.deviceCount, locateKey);
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
  rekey(survey.byAddress, survey.deviceTable.get(), index, addressKey);
  rekey(survey.bySerialAndId, survey.deviceTable.get(), index, locateKey);
}

int32_t findRecordByAddress(SurveyState& survey, const uint8_t ip[4]) {
  IndexKey key{};
  std::memcpy(key.bytes, ip, 4);
  return findFirst(survey.byAddress, survey.deviceTable.get(), survey.deviceCount, addressKey, key);
}

int32_t findRecordBySerialAndId(SurveyState& survey, uint32_t serial, std::string_view id) {
  if (id.size() > sizeof(DeviceRecord::id) - 1) return -1;  // no record holds an ID that long
  return findFirst(survey.bySerialAndId, survey.deviceTable.get(), survey.deviceCount, locateKey,
                   makeLocateKey(serial, id));
}

}  // namespace vyr
