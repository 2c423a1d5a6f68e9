// The upload backlog on disk: segment files "backlog-<16 hex digits>.seg" in one folder
// (0700, files 0600). A segment is a sequence of records, each
//   magic "SMBL" (u32) | type (u8) | 3 zero bytes | payload length (u32) | CRC-32 (u32) | payload
// little-endian, the CRC-32 (IEEE) over the payload. The payload of every type but the
// older 1 and 2 begins with a CRC-32 (u32) of the header's first 12 bytes, so that a flipped
// type or padding bit is found too; an older reader passes over those types (their payload
// CRC is good, their type unknown to it). This version writes two types:
//   KEEP (4; formerly 1, without the header check): instance digest (u64), first id (u64),
//         count (u32), then per metric ts (u64), value (f64 bits), rule (u8), module length
//         (u8), module, metric length (u8), metric; the metrics take the ids first, first + 1...
//   DONE (8; formerly 2): count (u32), then ids (u64): metrics resolved (uploaded, refused or
//         dropped).
// A record holds at most 64 metrics or ids, so that damage to one loses no more; no single
// flipped bit turns 4 or 8 into 1 or 2. A keep, however many records, is written with one
// write and one fsync (and an fsync of the folder when it creates a segment). A DONE with one
// write, no fsync: the page cache survives a killed process, so after a SIGKILL at most the
// uploads in flight are sent again; after a power loss the DONE records not yet flushed by
// the kernel are lost too and those uploads are sent again. A new segment is started once the
// current one holds a quarter of the byte bound; only the oldest segment is deleted, once all
// its metrics are resolved (a newer one may hold the DONE records of an older one's metrics).
// At recovery every segment is read. A damaged record (bad magic, impossible length, a check
// that fails, cut short) starts a damaged region, which ends at the next intact record: it is
// skipped and counted. One at the end of a segment is cut off the file; one inside stays, and
// is skipped and counted again at each start until its segment is deleted. When the newest
// segment number passes 2^62 the segments are renamed 1..n, in order, so that a number never
// wraps to 0 (which is not read). A failed write (a full disk) never removes what is on
// disk: the segment is cut back to its last whole record and closed, and the next append
// starts a new one. Unknown files in the folder are left alone.
#ifndef SERVICE_MONITOR_METRIC_BACKLOG_FILE_H
#define SERVICE_MONITOR_METRIC_BACKLOG_FILE_H

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "raii.h"
#include "service_monitor_metric_types.h"


// The file calls the store makes: the real ones unless tests replace them (a full disk,
// counting).
struct BACKLOG_FILE_OPS_T {
    ssize_t (*write)(int fd, const void* data, size_t size) = ::write;
    int (*fsync)(int fd) = ::fsync;
};

struct BACKLOG_SEGMENT_T {
    uint64_t seq = 0;
    uint64_t bytes = 0;
    size_t pending = 0;  // metrics kept in this segment and not resolved
};

// The segment files of one folder; guarded by the store's lock.
struct BACKLOG_FILES_T {
    std::string dir;
    BACKLOG_FILE_OPS_T ops{};
    std::deque<BACKLOG_SEGMENT_T> segments;  // oldest first; back() is written to
    FileDescriptor writeFd;  // the newest segment, open for appending
    bool failing = false;    // the last append failed (said once until one works again)
};

// The metrics of a KEEP record, or the ids of a DONE record, at most.
constexpr size_t kBacklogRecordItems = 64;
// What a KEEP record takes besides its metrics' entries.
constexpr size_t kBacklogKeepOverhead = 16 + 4 + 20;
// The bytes one metric takes in a KEEP record.
[[nodiscard]] size_t backlog_entry_size(const BACKLOG_METRIC_T& metric);
// The bytes a keep of these metrics takes on disk (a record per 64 metrics).
[[nodiscard]] size_t backlog_keep_bytes(const std::vector<BACKLOG_METRIC_T>& metrics);
// The same for count metrics whose entries take entryBytes.
[[nodiscard]] uint64_t backlog_records_bytes(uint64_t entryBytes, size_t count);
// True when dir (created 0700 with its parents, 0755, when missing) can be written. The
// entry of each folder made is synced in its parent: a power loss must not take the folder,
// and the synced segments in it, away.
[[nodiscard]] bool backlog_file_prepare_dir(const std::string& dir, const BACKLOG_FILE_OPS_T& ops);
// Sets the folder (empty: none, memory only) and the file calls (null: the real ones).
void backlog_file_init(BACKLOG_FILES_T* files, const std::string& dir, const BACKLOG_FILE_OPS_T* ops);
// True when there is a folder to write to.
[[nodiscard]] bool backlog_file_enabled(const BACKLOG_FILES_T* files);
// The oldest segment's number, or 0 when there is none.
[[nodiscard]] uint64_t backlog_file_oldest(const BACKLOG_FILES_T* files);
// Deletes the oldest segment, whatever waits in it (the store has taken what it needs).
void backlog_file_release_oldest(BACKLOG_FILES_T* files);
// Reads every segment of files->dir, skips damaged regions (counted in *cut), deletes the
// segments with nothing pending and opens the newest for appending: the metrics still
// waiting, in id order; *lastId is raised to the highest id met.
[[nodiscard]] std::vector<BACKLOG_METRIC_T> backlog_file_recover(BACKLOG_FILES_T* files,
                                                                 uint64_t* lastId, uint64_t* cut);
// True once metrics are on disk, in one write (each marked with its segment); false: the
// folder failed (logged) and they are not on disk; what was stays. A later call tries again.
[[nodiscard]] bool backlog_file_keep(BACKLOG_FILES_T* files, std::vector<BACKLOG_METRIC_T>* metrics,
                                     uint64_t maxBytes);
// True once a DONE record of ids is written (not synced); false as for backlog_file_keep.
[[nodiscard]] bool backlog_file_done(BACKLOG_FILES_T* files, const std::vector<uint64_t>& ids,
                                     uint64_t maxBytes);
// Counts one metric of segment seq as resolved.
void backlog_file_resolved(BACKLOG_FILES_T* files, uint64_t seq);
// Deletes the oldest segments while nothing in them waits.
void backlog_file_delete_resolved(BACKLOG_FILES_T* files);
// The bytes the segments hold.
[[nodiscard]] uint64_t backlog_file_bytes(const BACKLOG_FILES_T* files);
// Closes the segment open for appending.
void backlog_file_close(BACKLOG_FILES_T* files);

#endif
