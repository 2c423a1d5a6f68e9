#include "service_monitor_metric_backlog_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <utility>

#include "common.h"
#include "raii.h"

namespace {

constexpr uint32_t kMagic = 0x4C424D53;  // "SMBL" little-endian
// The older types, without the header check, are still read.
constexpr uint8_t kTypeKeepOlder = 1;
constexpr uint8_t kTypeDoneOlder = 2;
constexpr uint8_t kTypeKeep = 4;
constexpr uint8_t kTypeDone = 8;
constexpr size_t kHeaderSize = 16;
constexpr size_t kHeaderChecked = 12;  // magic, type, padding, length
constexpr size_t kCheckSize = 4;       // their CRC-32, first in the payload
constexpr size_t kPerRecord = kBacklogRecordItems;
// Larger than any record the store writes (the byte bound is far below it).
constexpr uint32_t kMaxPayload = 64U << 20;
static_assert(kBacklogKeepOverhead == kHeaderSize + kCheckSize + 20,
              "header, header check, instance, first id, count");
constexpr size_t kEntryFixed = 19;      // ts, value, rule, two name lengths
constexpr uint64_t kSegmentShare = 4;   // a new segment once one holds bound / 4
// Segment numbers past it are renumbered at recovery; no run creates 2^62 segments.
constexpr uint64_t kRenumberPast = uint64_t{1} << 62;

constexpr std::array<uint32_t, 256> makeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = makeCrcTable();

uint32_t crc32(const uint8_t* data, size_t size) {
    uint32_t c = 0xFFFFFFFFU;
    for (size_t i = 0; i < size; ++i) c = kCrcTable[(c ^ data[i]) & 0xFFU] ^ (c >> 8);
    return c ^ 0xFFFFFFFFU;
}

void put(std::vector<uint8_t>& out, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Reads little-endian fields from a payload; any read past its end fails the whole reader.
struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool ok = true;
    uint64_t get(size_t bytes) {
        if (!ok || size - at < bytes) {
            ok = false;
            return 0;
        }
        uint64_t value = 0;
        for (size_t i = 0; i < bytes; ++i) value |= uint64_t{data[at + i]} << (8 * i);
        at += bytes;
        return value;
    }
    bool text(char* out, size_t room) {
        const size_t length = get(1);
        if (!ok || length >= room || size - at < length) return ok = false;
        memcpy(out, data + at, length);
        out[length] = '\0';
        at += length;
        return true;
    }
};

// Appends a record to out; its payload starts with room for the header check.
void appendRecord(std::vector<uint8_t>& out, uint8_t type, std::vector<uint8_t> payload) {
    const size_t start = out.size();
    put(out, kMagic, 4);
    put(out, type, 4);
    put(out, payload.size(), 4);
    const uint32_t check = crc32(out.data() + start, kHeaderChecked);
    for (size_t i = 0; i < kCheckSize; ++i) payload[i] = static_cast<uint8_t>(check >> (8 * i));
    put(out, crc32(payload.data(), payload.size()), 4);
    out.insert(out.end(), payload.begin(), payload.end());
}

// Records of up to kPerRecord items each, filled by fill(payload, first item, count), in one
// buffer so that they take one write.
template <typename Item, typename Fill>
std::vector<uint8_t> records(uint8_t type, const std::vector<Item>& items, Fill fill) {
    std::vector<uint8_t> out;
    for (size_t at = 0; at < items.size(); at += kPerRecord) {
        std::vector<uint8_t> payload(kCheckSize);
        fill(payload, &items[at], std::min(kPerRecord, items.size() - at));
        appendRecord(out, type, std::move(payload));
    }
    return out;
}

void putEntry(std::vector<uint8_t>& payload, const BACKLOG_METRIC_T& m) {
    uint64_t bits = 0;
    memcpy(&bits, &m.value, sizeof bits);
    put(payload, m.ts, 8);
    put(payload, bits, 8);
    put(payload, m.collectRule, 1);
    for (const char* name : {m.moduleName, m.metricName}) {
        put(payload, strlen(name), 1);
        payload.insert(payload.end(), name, name + strlen(name));
    }
}

std::vector<uint8_t> keepRecords(const std::vector<BACKLOG_METRIC_T>& metrics) {
    return records(kTypeKeep, metrics,
                   [](std::vector<uint8_t>& payload, const BACKLOG_METRIC_T* m, size_t count) {
                       put(payload, m->instance, 8);
                       put(payload, m->id, 8);
                       put(payload, count, 4);
                       for (size_t i = 0; i < count; ++i) putEntry(payload, m[i]);
                   });
}

std::vector<uint8_t> doneRecords(const std::vector<uint64_t>& ids) {
    return records(kTypeDone, ids,
                   [](std::vector<uint8_t>& payload, const uint64_t* id, size_t count) {
                       put(payload, count, 4);
                       for (size_t i = 0; i < count; ++i) put(payload, id[i], 8);
                   });
}

std::string segmentPath(const BACKLOG_FILES_T* f, uint64_t seq) {
    char name[40];
    snprintf(name, sizeof name, "/backlog-%016" PRIx64 ".seg", seq);
    return f->dir + name;
}

bool writeAll(const BACKLOG_FILES_T* f, int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = f->ops.write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Makes the entries of a folder durable.
bool syncFolder(const std::string& folder, const BACKLOG_FILE_OPS_T& ops) {
    const FileDescriptor fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.get() >= 0 && ops.fsync(fd.get()) == 0;
}

std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The disk cannot take the backlog: the store keeps it in memory. What is durable stays on
// disk. The append that failed is cut back to the last whole record, so that nothing lands
// behind a torn one (were the cut to fail, the next append opens a new segment anyway and
// recovery cuts the torn tail); a new segment left empty is removed.
void giveUp(BACKLOG_FILES_T* f, const char* what) {
    // The store tries again at every keep: one line for the whole time the folder fails.
    if (!f->failing) {
        SM_LOG(2, "backlog folder %s unusable (%s: %s), backlog kept in memory only\n",
               f->dir.c_str(), what, strerror(errno));
    }
    f->failing = true;
    const int fd = f->writeFd.get();
    if (fd >= 0 && ftruncate(fd, static_cast<off_t>(f->segments.back().bytes)) != 0) {
        SM_LOG(2, "cut back backlog segment failed: %s\n", strerror(errno));
    }
    backlog_file_close(f);
    if (!f->segments.empty() && f->segments.back().bytes == 0) {
        (void)unlink(segmentPath(f, f->segments.back().seq).c_str());
        f->segments.pop_back();
    }
}

bool openNewSegment(BACKLOG_FILES_T* f) {
    const uint64_t seq = f->segments.empty() ? 1 : f->segments.back().seq + 1;
    backlog_file_close(f);
    f->writeFd.reset(open(segmentPath(f, seq).c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600));
    if (f->writeFd.get() < 0) return false;
    f->segments.push_back(BACKLOG_SEGMENT_T{seq, 0, 0});
    return syncFolder(f->dir, f->ops);
}

// Appends one record to the newest segment; sync makes it durable before returning.
bool append(BACKLOG_FILES_T* f, const std::vector<uint8_t>& bytes, bool sync, uint64_t maxBytes) {
    const bool rotate = f->segments.empty() || f->writeFd.get() < 0 ||
                        f->segments.back().bytes >= std::max<uint64_t>(maxBytes / kSegmentShare, 1);
    if (rotate && !openNewSegment(f)) {
        giveUp(f, "create");
        return false;
    }
    if (!writeAll(f, f->writeFd.get(), bytes) || (sync && f->ops.fsync(f->writeFd.get()) != 0)) {
        giveUp(f, "write");
        return false;
    }
    f->segments.back().bytes += bytes.size();
    if (f->failing) SM_LOG(1, "backlog folder %s writable again\n", f->dir.c_str());
    f->failing = false;
    return true;
}

bool parseKeep(Reader& r, uint64_t seq, std::vector<BACKLOG_METRIC_T>* out) {
    const uint64_t instance = r.get(8);
    const uint64_t first = r.get(8);
    const uint64_t count = r.get(4);
    if (!r.ok || count > r.size / kEntryFixed) return false;
    for (uint64_t i = 0; i < count; ++i) {
        BACKLOG_METRIC_T m;
        m.id = first + i;
        m.instance = instance;
        m.segment = seq;
        m.ts = r.get(8);
        const uint64_t bits = r.get(8);
        memcpy(&m.value, &bits, sizeof bits);
        m.collectRule = static_cast<uint32_t>(r.get(1));
        if (!r.text(m.moduleName, sizeof m.moduleName) ||
            !r.text(m.metricName, sizeof m.metricName)) {
            return false;
        }
        out->push_back(m);
    }
    return r.ok && r.at == r.size;
}

bool parseDone(Reader& r, std::unordered_set<uint64_t>* done) {
    const uint64_t count = r.get(4);
    if (!r.ok || count * 8 != r.size - r.at) return false;
    for (uint64_t i = 0; i < count; ++i) done->insert(r.get(8));
    return r.ok;
}

// One record at data[at...]: its size, or 0 when it is torn or corrupt.
size_t parseRecord(const std::vector<uint8_t>& data, size_t at, uint64_t seq,
                   std::vector<BACKLOG_METRIC_T>* kept, std::unordered_set<uint64_t>* done) {
    const uint8_t* base = data.data() + at;
    Reader head{base, data.size() - at};
    const uint64_t magic = head.get(4);
    const uint64_t type = head.get(4);  // with the padding: one not zero makes the type unknown
    const uint64_t length = head.get(4);
    const uint64_t crc = head.get(4);
    if (!head.ok || magic != kMagic || length > kMaxPayload || length > head.size - head.at) {
        return 0;
    }
    Reader body{base + kHeaderSize, length};
    if (crc32(body.data, length) != crc) return 0;
    const bool older = type == kTypeKeepOlder || type == kTypeDoneOlder;
    if (!older && (body.get(kCheckSize) != crc32(base, kHeaderChecked) || !body.ok)) return 0;
    std::vector<BACKLOG_METRIC_T> metrics;
    std::unordered_set<uint64_t> ids;
    // A whole record of a type this version does not know is passed over.
    if (((type == kTypeKeep || type == kTypeKeepOlder) && !parseKeep(body, seq, &metrics)) ||
        ((type == kTypeDone || type == kTypeDoneOlder) && !parseDone(body, &ids))) {
        return 0;
    }
    kept->insert(kept->end(), metrics.begin(), metrics.end());
    done->insert(ids.begin(), ids.end());
    return kHeaderSize + length;
}

// Where the first intact record at or after from starts; data.size() when none does.
size_t nextIntact(const std::vector<uint8_t>& data, size_t from, uint64_t seq) {
    std::vector<BACKLOG_METRIC_T> kept;
    std::unordered_set<uint64_t> done;
    for (size_t at = from; at + kHeaderSize <= data.size(); ++at) {
        if (memcmp(data.data() + at, "SMBL", 4) == 0 &&
            parseRecord(data, at, seq, &kept, &done) != 0) {
            return at;
        }
    }
    return data.size();
}

bool readFile(const std::string& path, std::vector<uint8_t>* data) {
    const FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) return false;
    data->resize(static_cast<size_t>(std::min<off_t>(st.st_size, kMaxPayload)));
    size_t done = 0;
    while (done < data->size()) {
        const ssize_t n = read(fd.get(), data->data() + done, data->size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    data->resize(done);
    return true;
}

// Reads one segment. A damaged region ends where an intact record starts; at the end of the
// file it is cut off. One inside the file stays and is met again at the next start: only its
// segment's deletion removes it, as rewriting a segment would put the intact records at risk.
void loadSegment(BACKLOG_FILES_T* f, uint64_t seq, std::vector<BACKLOG_METRIC_T>* kept,
                 std::unordered_set<uint64_t>* done, uint64_t* cut) {
    const std::string path = segmentPath(f, seq);
    std::vector<uint8_t> data;
    if (!readFile(path, &data)) return;
    size_t at = 0;
    size_t end = 0;  // past the last intact record
    while (at < data.size()) {
        const size_t size = parseRecord(data, at, seq, kept, done);
        if (size != 0) {
            at += size;
            end = at;
            continue;
        }
        ++*cut;
        const size_t next = nextIntact(data, at + 1, seq);
        if (next < data.size()) {
            SM_LOG(2, "backlog segment %s damaged at bytes %zu to %zu, skipped\n", path.c_str(),
                   at, next);
        }
        at = next;
    }
    if (end < data.size()) {
        SM_LOG(2, "backlog segment %s damaged at byte %zu, cut there\n", path.c_str(), end);
        if (truncate(path.c_str(), static_cast<off_t>(end)) != 0) {
            SM_LOG(2, "cut backlog segment %s failed: %s\n", path.c_str(), strerror(errno));
        }
    }
    f->segments.push_back(BACKLOG_SEGMENT_T{seq, end, 0});
}

std::vector<uint64_t> listSegments(const std::string& dir) {
    std::vector<uint64_t> seqs;
    const DirPtr d(opendir(dir.c_str()));
    if (!d) return seqs;
    while (const dirent* e = readdir(d.get())) {
        uint64_t seq = 0;
        char tail[8] = {};
        if (strlen(e->d_name) == 28 &&
            sscanf(e->d_name, "backlog-%16" SCNx64 "%7s", &seq, tail) == 2 &&
            strcmp(tail, ".seg") == 0 && seq != 0) {
            seqs.push_back(seq);
        }
    }
    std::sort(seqs.begin(), seqs.end());
    return seqs;
}

// Renames the segments, oldest first, to 1..n. Each new name is free: the i-th oldest
// segment's number is at least i. A crash half way leaves them in order, renumbered at the
// next start.
std::vector<uint64_t> renumber(const BACKLOG_FILES_T* f, std::vector<uint64_t> seqs) {
    if (seqs.empty() || seqs.back() <= kRenumberPast) return seqs;
    for (size_t i = 0; i < seqs.size(); ++i) {
        const std::string from = segmentPath(f, seqs[i]);
        if (seqs[i] != i + 1 && rename(from.c_str(), segmentPath(f, i + 1).c_str()) != 0) {
            SM_LOG(2, "renumber backlog segment %s failed: %s\n", from.c_str(), strerror(errno));
            break;
        }
        seqs[i] = i + 1;
    }
    (void)syncFolder(f->dir, f->ops);
    return seqs;
}

}  // namespace

void backlog_file_init(BACKLOG_FILES_T* f, const std::string& dir, const BACKLOG_FILE_OPS_T* ops) {
    f->dir = dir;
    f->ops = ops != nullptr ? *ops : BACKLOG_FILE_OPS_T{};
}

bool backlog_file_enabled(const BACKLOG_FILES_T* f) { return !f->dir.empty(); }

uint64_t backlog_file_oldest(const BACKLOG_FILES_T* f) {
    return f->segments.empty() ? 0 : f->segments.front().seq;
}

void backlog_file_release_oldest(BACKLOG_FILES_T* f) {
    if (f->segments.empty()) return;
    f->segments.front().pending = 0;
    backlog_file_delete_resolved(f);
}

size_t backlog_entry_size(const BACKLOG_METRIC_T& m) {
    return kEntryFixed + strlen(m.moduleName) + strlen(m.metricName);
}

uint64_t backlog_records_bytes(uint64_t entryBytes, size_t count) {
    return entryBytes + (count + kPerRecord - 1) / kPerRecord * kBacklogKeepOverhead;
}

size_t backlog_keep_bytes(const std::vector<BACKLOG_METRIC_T>& metrics) {
    uint64_t entries = 0;
    for (const BACKLOG_METRIC_T& m : metrics) entries += backlog_entry_size(m);
    return static_cast<size_t>(backlog_records_bytes(entries, metrics.size()));
}

bool backlog_file_prepare_dir(const std::string& dir, const BACKLOG_FILE_OPS_T& ops) {
    std::vector<std::string> made;
    size_t slash = 0;
    do {
        slash = dir.find('/', slash + 1);
        const std::string part = dir.substr(0, slash);
        if (mkdir(part.c_str(), slash == std::string::npos ? 0700 : 0755) == 0) {
            made.push_back(part);
        } else if (errno != EEXIST) {
            return false;
        }
    } while (slash != std::string::npos);
    for (const std::string& folder : made) {
        if (!syncFolder(parentOf(folder), ops)) return false;
    }
    (void)chmod(dir.c_str(), 0700);
    return access(dir.c_str(), W_OK | X_OK) == 0;
}

std::vector<BACKLOG_METRIC_T> backlog_file_recover(BACKLOG_FILES_T* f, uint64_t* lastId,
                                                   uint64_t* cut) {
    std::vector<BACKLOG_METRIC_T> kept;
    std::unordered_set<uint64_t> done;
    for (const uint64_t seq : renumber(f, listSegments(f->dir))) {
        loadSegment(f, seq, &kept, &done, cut);
    }
    std::sort(kept.begin(), kept.end(),
              [](const BACKLOG_METRIC_T& x, const BACKLOG_METRIC_T& y) { return x.id < y.id; });
    std::vector<BACKLOG_METRIC_T> waiting;
    for (const BACKLOG_METRIC_T& m : kept) {
        *lastId = std::max(*lastId, m.id);
        if (done.count(m.id) != 0) continue;
        waiting.push_back(m);
        for (BACKLOG_SEGMENT_T& s : f->segments) s.pending += s.seq == m.segment ? 1 : 0;
    }
    for (const uint64_t id : done) *lastId = std::max(*lastId, id);
    backlog_file_delete_resolved(f);
    if (!f->segments.empty()) {
        f->writeFd.reset(open(segmentPath(f, f->segments.back().seq).c_str(),
                              O_WRONLY | O_APPEND | O_CLOEXEC));
    }
    return waiting;
}

bool backlog_file_keep(BACKLOG_FILES_T* f, std::vector<BACKLOG_METRIC_T>* metrics,
                       uint64_t maxBytes) {
    if (!append(f, keepRecords(*metrics), true, maxBytes)) return false;
    for (BACKLOG_METRIC_T& m : *metrics) m.segment = f->segments.back().seq;
    f->segments.back().pending += metrics->size();
    return true;
}

bool backlog_file_done(BACKLOG_FILES_T* f, const std::vector<uint64_t>& ids, uint64_t maxBytes) {
    return append(f, doneRecords(ids), false, maxBytes);
}

void backlog_file_resolved(BACKLOG_FILES_T* f, uint64_t seq) {
    for (BACKLOG_SEGMENT_T& s : f->segments) {
        if (s.seq == seq) {
            --s.pending;
            return;
        }
    }
}

void backlog_file_delete_resolved(BACKLOG_FILES_T* f) {
    while (!f->segments.empty() && f->segments.front().pending == 0) {
        if (f->segments.size() == 1) backlog_file_close(f);
        (void)unlink(segmentPath(f, f->segments.front().seq).c_str());
        f->segments.pop_front();
    }
}

uint64_t backlog_file_bytes(const BACKLOG_FILES_T* f) {
    uint64_t total = 0;
    for (const BACKLOG_SEGMENT_T& s : f->segments) total += s.bytes;
    return total;
}

void backlog_file_close(BACKLOG_FILES_T* f) { f->writeFd.reset(); }
