#pragma once
// Finds the first record in table order with a given key without walking the table: replies are
// tied to records by source address and by serial and ID once per datagram, and a fleet can have
// a hundred thousand units. Keys change during a survey (a located address, a reported serial, a
// told ID), so every change of those fields is followed by recordKeysChanged.

#include <cstdint>
#include <memory>
#include <string_view>

#include "survey/device_record.h"

namespace vyr {

struct SurveyState;

// A record's key as fixed bytes: the four address bytes, or the serial and the ID.
struct IndexKey {
  uint8_t bytes[12];
};

// A key's slot names the first record with that key, whose own fields give the key: a slot holds
// no copy of it, which keeps a hundred thousand units' slots to a few megabytes.
struct IndexSlot {
  int32_t first;  // lowest record index with this key; -1 for an empty slot
  uint32_t hash;  // the key's, so that a probe reads a record only when the hashes agree
};

// A record's place in its key's chain; both are read and written together, so they share a
// cache line.
struct ChainLinks {
  // The previous record with its key (>= 0), or for the first one its key's slot s, as -2 - s.
  int32_t up;
  int32_t after;  // the next record with its key, or -1
};

// Open-addressing slots per key, each holding a chain of the records with that key in table
// order (linked through ChainLinks), so the first one is at hand. A million units' indexes
// are among the largest things a survey holds, so a record's link back and its chain's slot share
// one number: only a chain's first record needs the slot, and only the others have a record before
// them.
struct RecordIndex {
  std::unique_ptr<IndexSlot[]> slots;
  uint32_t slotCount = 0;               // half as many again as the records, at least
  std::unique_ptr<ChainLinks[]> links;  // per record
  bool usable = false;  // false when its memory could not be had: lookups walk the table
  bool built = false;   // false until the table is first indexed by this key
  int32_t lastFound = -1;  // the record the last lookup found, or -1
};

IndexKey addressKey(const DeviceRecord& record);
IndexKey locateKey(const DeviceRecord& record);

// A new table is indexed by each key when that key is first looked up, or before, one key per
// call of indexNextKey, which returns false once both are built: building an index of a large
// fleet takes long enough that a dialog gives it a pass of its event loop of its own.
// releaseRecordIndexes forgets both when the table goes.
bool indexNextKey(SurveyState& survey);
void indexRecords(SurveyState& survey);  // both keys at once
void releaseRecordIndexes(SurveyState& survey);

// Call after the address, the serial or the ID of record `index` has changed: both keys, or the
// one that did (each costs a few cache misses at a million units, and most replies change neither).
void recordKeysChanged(SurveyState& survey, int32_t index);
void recordAddressChanged(SurveyState& survey, int32_t index);
void recordSerialOrIdChanged(SurveyState& survey, int32_t index);

// The first record whose four address bytes are `ip`, or -1.
int32_t findRecordByAddress(SurveyState& survey, const uint8_t ip[4]);
// The first record whose serial is `serial` and whose ID is exactly `id`, or -1.
int32_t findRecordBySerialAndId(SurveyState& survey, uint32_t serial, std::string_view id);

// The record after `index` in table order with the same address bytes, or serial and ID, or -1.
int32_t nextRecordByAddress(SurveyState& survey, int32_t index);
int32_t nextRecordBySerialAndId(SurveyState& survey, int32_t index);

// Whether no other record has record `index`'s address bytes (serial and ID), without a probe:
// false also when its index is not built.
bool aloneByAddress(const SurveyState& survey, int32_t index);
bool aloneBySerialAndId(const SurveyState& survey, int32_t index);

}  // namespace vyr
