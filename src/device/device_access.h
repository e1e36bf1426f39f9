// DeviceAccess: the table of opened instruments, the selected one, and the
// operations that talk to it. Every operation answers with a DeviceStatus and
// prints nothing; callers decide what to report.
#pragma once

#include <cstdint>
#include <list>
#include <vector>

#include "platform/platform.h"

namespace tarnlink {

// Results of the DeviceAccess operations. 2 is not used.
enum DeviceStatus : std::int32_t {
  kStatusOk = 0,
  kStatusFailed = 1,         // a platform call failed; path not found, already open or not
                             // openable; zero bytes where data was required
  kStatusShort = 3,          // fewer bytes written than given; a negative timeout
  kStatusNotOpen = 4,        // the selected record is not open
  kStatusNotSelected = 5,    // no device selected; SelectDevice: no record has the path
  kStatusLimitReached = 6,   // ReadDataLimited reached its limit; the data is in the buffer
  kStatusReadFault = 7,      // a read failed and it was not the link timeout: the driver never
                             // fails a read at the timeout, or the instrument is listed no more
};

// One present interface, as enumeration reports it. The path is kept whole,
// however long the platform reports it.
struct DeviceListEntry {
  std::int32_t index = 0;  // place in its enumeration pass, from 1
  NativeString path;
};
using DeviceList = std::list<DeviceListEntry>;

// One opened (or tried) interface. Records never move once added.
struct DeviceRecord {
  std::int32_t index = 0;  // place in the enumeration pass that opened it, from 1
  NativeString path;       // empty until the open succeeds
  Handle handle = kInvalidHandle;
  std::int16_t open = 0;   // 1 once opened; never goes back to 0
};

using ByteBuffer = std::vector<std::uint8_t>;

// Why the latest OpenDevice failed: the path it was asked for, and the reason
// where one is known (the platform's, or kGone for a path listed no more).
struct OpenRefusal {
  NativeString path;
  OpenFailure failure = OpenFailure::kUnknown;
};

class DeviceAccess {
 public:
  // Device handles outlive the object: the instrument is ours until the process
  // ends, and nothing closes it before.
  explicit DeviceAccess(Platform& platform) : platform_(platform) {}
  DeviceAccess(const DeviceAccess&) = delete;
  DeviceAccess& operator=(const DeviceAccess&) = delete;

  // Appends one entry per present interface to `list` (which is not emptied),
  // indices from 1. 0 when listed to the end, 1 on failure; entries appended
  // before a failure stay.
  std::int32_t GetCountActiveDevices(DeviceList& list);

  // Opens the present interface whose path equals entry.path, exclusively. 0 or 1;
  // after 1, refused_open() says why.
  std::int32_t OpenDevice(const DeviceListEntry& entry);
  // Makes the first record with entry.path the selected one. 0, or 5 (then no
  // device is selected).
  std::int32_t SelectDevice(const DeviceListEntry& entry);

  // One write of the whole buffer. 0, 1, 3, 4, 5.
  std::int32_t WriteData(const ByteBuffer& data);
  // The same for `size` bytes at `data`, which a sender hands over in place,
  // block after block, instead of copying each block out first.
  std::int32_t WriteData(const std::uint8_t* data, std::size_t size);
  // Appends 4096-byte chunks until a shorter one arrives. A failed read is 1 when
  // it may have been the link timeout, else 7; the chunks before it stay in the
  // buffer. 0, 1, 4, 5, 7.
  std::int32_t ReadData(ByteBuffer& buffer);
  // As ReadData, but a zero-byte chunk is 1, and a buffer holding at least
  // `limit` bytes (its earlier content counts) ends with 6. 0, 1, 4, 5, 6, 7.
  std::int32_t ReadDataLimited(ByteBuffer& buffer, std::uint32_t limit);
  // Queries the link timeout (100-ns units) into `timeout`. 0, 1, 4, 5.
  std::int32_t GetTimeout(std::int32_t& timeout);
  // Sets the link timeout (100-ns units). 0, 1, 3, 4, 5.
  std::int32_t SetTimeout(std::int32_t timeout);

  // The latest OpenDevice's refusal; kUnknown after one that succeeded.
  const OpenRefusal& refused_open() const { return refused_; }

  Platform& platform() { return platform_; }
  const std::list<DeviceRecord>& records() const { return table_; }

 private:
  // The first record whose path is `path`, or the table's end.
  std::list<DeviceRecord>::iterator find_record(const NativeString& path);
  // 5 when nothing is selected, 4 when the selected record is not open, else 0.
  std::int32_t check_selected() const;
  std::int32_t read_chunks(ByteBuffer& buffer, bool limited, std::uint32_t limit);
  // What a failed read of the selected device means: 1 when it may have been the
  // link timeout, 7 when it cannot.
  std::int32_t failed_read_status();

  Platform& platform_;
  std::list<DeviceRecord> table_;
  std::list<DeviceRecord>::iterator current_{};
  bool selected_ = false;
  OpenRefusal refused_;
};

}  // namespace tarnlink
