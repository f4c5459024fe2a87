#include "survey/record_index.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/hash.h"
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

// A probe starts from the hash's high bits (see homeOf).
uint32_t keyHash(const IndexKey& key) { return hashBytes(key.bytes, sizeof key.bytes, 0); }

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
  index.links.reset();
  index.slotCount = 0;
  index.usable = false;
  index.lastFound = -1;
}

// A chain's first record keeps its slot in `up`, where the others keep the record before them.
int32_t headAt(uint32_t slot) { return -2 - static_cast<int32_t>(slot); }
bool isHead(const RecordIndex& index, int32_t record) { return index.links[record].up < 0; }
uint32_t slotOfHead(const RecordIndex& index, int32_t record) {
  return static_cast<uint32_t>(-2 - index.links[record].up);
}

// Where a key's probe starts: the hash scaled to the slots, which need not be a power of two.
uint32_t homeOf(const RecordIndex& index, uint32_t hash) {
  return static_cast<uint32_t>((static_cast<uint64_t>(hash) * index.slotCount) >> 32);
}

uint32_t nextSlot(const RecordIndex& index, uint32_t slot) {
  return slot + 1 == index.slotCount ? 0 : slot + 1;
}

// How far a probe from `from` goes to reach `to`, going round the end.
uint32_t probeDistance(const RecordIndex& index, uint32_t from, uint32_t to) {
  return to >= from ? to - from : to + index.slotCount - from;
}

// The slot holding `key`, or the empty one where it belongs. There always is one: a table of
// n records has at most n keys, and more slots than that.
uint32_t slotFor(const RecordIndex& index, const Keyed& keyed, const IndexKey& key,
                 uint32_t hash) {
  uint32_t slot = homeOf(index, hash);
  while (index.slots[slot].first != EMPTY &&
         (index.slots[slot].hash != hash || !sameKey(keyed.keyAt(index.slots[slot].first), key))) {
    slot = nextSlot(index, slot);
  }
  return slot;
}

// Empties the slot of a key that lost its last record. The keys after it on the same run of
// slots move back into the gap when their probe passes it, so that no probe stops short of its
// key and no slot is left marked as once used (a unit's key changes as it tells its ID and
// serial, and such marks would soon fill the table).
void emptySlot(RecordIndex& index, uint32_t hole) {
  for (uint32_t slot = nextSlot(index, hole); index.slots[slot].first != EMPTY;
       slot = nextSlot(index, slot)) {
    const uint32_t home = homeOf(index, index.slots[slot].hash);
    // Its probe starts past the gap: it stays.
    if (probeDistance(index, home, slot) < probeDistance(index, hole, slot)) continue;
    index.slots[hole] = index.slots[slot];
    index.links[index.slots[hole].first].up = headAt(hole);
    hole = slot;
  }
  index.slots[hole].first = EMPTY;
}

void unlink(RecordIndex& index, int32_t record) {
  const int32_t next = index.links[record].after;
  if (!isHead(index, record)) {
    index.links[index.links[record].up].after = next;
    if (next >= 0) index.links[next].up = index.links[record].up;
  } else if (next >= 0) {
    index.slots[slotOfHead(index, record)].first = next;
    index.links[next].up = index.links[record].up;
  } else {
    emptySlot(index, slotOfHead(index, record));
  }
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
      next = index.links[next].after;
    }
  }
  index.links[record].after = next;
  if (previous >= 0) {
    index.links[record].up = previous;
    index.links[previous].after = record;
  } else {
    index.links[record].up = headAt(slot);
    entry.first = record;
  }
  if (next >= 0) index.links[next].up = record;
}

void build(RecordIndex& index, const Keyed& keyed, int32_t count) {
  forget(index);
  // Without its memory the index stays unusable rather than being tried again at every lookup.
  index.built = true;
  const auto records = static_cast<uint32_t>(count);
  // Half as many slots again as records keeps the runs of taken slots short (a quarter more made
  // emptying a slot walk long runs) at less memory than a power of two at twice the records.
  const uint64_t slotCount = uint64_t{records} + records / 2 + 16;
  if (slotCount > static_cast<uint64_t>(INT32_MAX) - 2) return;  // a slot must fit in `up`
  index.slots = allocateSlots(static_cast<uint32_t>(slotCount));
  index.links = allocate<ChainLinks>(records);
  if (!index.slots || !index.links) {
    forget(index);
    return;
  }
  index.slotCount = static_cast<uint32_t>(slotCount);
  // From the back, so that every record goes to the front of its chain.
  for (int32_t i = count - 1; i >= 0; --i) link(index, keyed, i, keyed.keyAt(i));
  index.usable = true;
}

void rekey(RecordIndex& index, const Keyed& keyed, int32_t record) {
  if (!index.usable) return;
  const IndexKey key = keyed.keyAt(record);
  // Any other record of its chain still has the chain's key. A record alone in its chain stays
  // where a probe for its key now ends (mostly its key did not change: a unit telling the serial
  // it is listed by), and is otherwise taken out and put back in wherever its key belongs.
  const int32_t mate = isHead(index, record) ? index.links[record].after : index.links[record].up;
  if (mate >= 0) {
    if (sameKey(keyed.keyAt(mate), key)) return;
  } else {
    const uint32_t slot = slotOfHead(index, record);
    const uint32_t hash = keyHash(key);
    if (index.slots[slot].hash == hash && slotFor(index, keyed, key, hash) == slot) return;
  }
  unlink(index, record);
  link(index, keyed, record, key);
}

int32_t findFirst(RecordIndex& index, const Keyed& keyed, int32_t count, const IndexKey& key) {
  if (!index.built) build(index, keyed, count);
  if (index.usable) {
    // Answers come back in about the order their requests left, mostly table order: the record
    // after the last one found is tried first, which spares the probe its two cache misses (the
    // slot and the record) at a million units.
    const int32_t next = index.lastFound + 1;
    if (next > 0 && next < count && isHead(index, next) && sameKey(keyed.keyAt(next), key)) {
      index.lastFound = next;
      return next;
    }
    const int32_t first = index.slots[slotFor(index, keyed, key, keyHash(key))].first;
    if (first < 0) return -1;
    index.lastFound = first;
    return first;
  }
  for (int32_t i = 0; i < count; ++i) {
    if (sameKey(keyed.keyAt(i), key)) return i;
  }
  return -1;
}

int32_t findNext(RecordIndex& index, const Keyed& keyed, int32_t count, int32_t record) {
  if (!index.built) build(index, keyed, count);
  if (index.usable) return index.links[record].after;
  const IndexKey key = keyed.keyAt(record);
  for (int32_t i = record + 1; i < count; ++i) {
    if (sameKey(keyed.keyAt(i), key)) return i;
  }
  return -1;
}

bool alone(const RecordIndex& index, int32_t record) {
  return index.usable && isHead(index, record) && index.links[record].after < 0;
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
  recordAddressChanged(survey, index);
  recordSerialOrIdChanged(survey, index);
}

void recordAddressChanged(SurveyState& survey, int32_t index) {
  rekey(survey.byAddress, {survey.deviceTable.get(), addressKey}, index);
}

void recordSerialOrIdChanged(SurveyState& survey, int32_t index) {
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

int32_t nextRecordByAddress(SurveyState& survey, int32_t index) {
  return findNext(survey.byAddress, {survey.deviceTable.get(), addressKey}, survey.deviceCount,
                  index);
}

int32_t nextRecordBySerialAndId(SurveyState& survey, int32_t index) {
  return findNext(survey.bySerialAndId, {survey.deviceTable.get(), locateKey}, survey.deviceCount,
                  index);
}

bool aloneByAddress(const SurveyState& survey, int32_t index) {
  return alone(survey.byAddress, index);
}

bool aloneBySerialAndId(const SurveyState& survey, int32_t index) {
  return alone(survey.bySerialAndId, index);
}

}  // namespace vyr
