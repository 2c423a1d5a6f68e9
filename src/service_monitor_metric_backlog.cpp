#include "service_monitor_metric_backlog.h"

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
#include <unordered_set>

#include "common.h"
#include "raii.h"

namespace {

constexpr uint32_t kMagic = 0x4C424D53;  // "SMBL" little-endian
constexpr uint8_t kTypeKeep = 1;
constexpr uint8_t kTypeDone = 2;
constexpr size_t kHeaderSize = 16;
// Larger than any record the store writes (the byte bound is far below it).
constexpr uint32_t kMaxPayload = 64U << 20;
constexpr size_t kKeepHead = 20;        // instance, first id, count
constexpr size_t kEntryFixed = 19;      // ts, value, rule, two name lengths
constexpr uint64_t kSegmentShare = 4;   // a new segment once one holds bound / 4

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

size_t entrySize(const BACKLOG_METRIC_T& m) {
    return kEntryFixed + strlen(m.moduleName) + strlen(m.metricName);
}

std::vector<uint8_t> record(uint8_t type, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    out.reserve(kHeaderSize + payload.size());
    put(out, kMagic, 4);
    put(out, type, 4);
    put(out, payload.size(), 4);
    put(out, crc32(payload.data(), payload.size()), 4);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> keepRecord(const std::vector<BACKLOG_METRIC_T>& metrics) {
    std::vector<uint8_t> payload;
    put(payload, metrics.front().instance, 8);
    put(payload, metrics.front().id, 8);
    put(payload, metrics.size(), 4);
    for (const BACKLOG_METRIC_T& m : metrics) {
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
    return record(kTypeKeep, payload);
}

std::vector<uint8_t> doneRecord(const std::vector<uint64_t>& ids) {
    std::vector<uint8_t> payload;
    put(payload, ids.size(), 4);
    for (const uint64_t id : ids) put(payload, id, 8);
    return record(kTypeDone, payload);
}

std::string seriesKey(const char* moduleName, const char* metricName) {
    std::string key(moduleName);
    key.push_back('\0');
    key.append(metricName);
    return key;
}

std::string segmentPath(const METRIC_BACKLOG_T* b, uint64_t seq) {
    char name[40];
    snprintf(name, sizeof name, "/backlog-%016" PRIx64 ".seg", seq);
    return b->dir + name;
}

bool writeAll(const METRIC_BACKLOG_T* b, int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = b->ops.write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void fsyncDir(const METRIC_BACKLOG_T* b) {
    const FileDescriptor dir(open(b->dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) (void)b->ops.fsync(dir.get());
}

// Counts a metric as resolved and lets its segment go when nothing in it waits any more.
void markResolved(METRIC_BACKLOG_T* b, BACKLOG_METRIC_T& m) {
    m.resolved = true;
    m.inFlight = false;
    --b->live;
    const auto it = b->series.find(seriesKey(m.moduleName, m.metricName));
    if (it != b->series.end() && --it->second == 0) b->series.erase(it);
    if (b->onDisk) {
        for (BACKLOG_SEGMENT_T& s : b->segments) {
            if (s.seq == m.segment) {
                --s.pending;
                break;
            }
        }
    } else {
        b->memoryBytes -= entrySize(m);
    }
}

void closeWriter(METRIC_BACKLOG_T* b) {
    if (b->writeFd >= 0) close(b->writeFd);
    b->writeFd = -1;
}

// Deletes the oldest segments while nothing in them waits. Only from the oldest end: a
// newer segment may hold the DONE records of an older one's metrics.
void deleteResolvedSegments(METRIC_BACKLOG_T* b) {
    while (!b->segments.empty() && b->segments.front().pending == 0) {
        if (b->segments.size() == 1) closeWriter(b);
        (void)unlink(segmentPath(b, b->segments.front().seq).c_str());
        b->segments.pop_front();
    }
}

void popResolvedFront(METRIC_BACKLOG_T* b) {
    while (!b->metrics.empty() && b->metrics.front().resolved) b->metrics.pop_front();
}

// The disk cannot take the backlog: keep it in memory from now on. The segments are
// removed so that a later start does not send again what this run uploads.
void fallBackToMemory(METRIC_BACKLOG_T* b, const char* what) {
    SM_LOG(2, "backlog folder %s unusable (%s: %s), backlog kept in memory only\n",
           b->dir.c_str(), what, strerror(errno));
    closeWriter(b);
    for (const BACKLOG_SEGMENT_T& s : b->segments) (void)unlink(segmentPath(b, s.seq).c_str());
    b->segments.clear();
    b->onDisk = false;
    b->memoryBytes = 0;
    for (const BACKLOG_METRIC_T& m : b->metrics) {
        if (!m.resolved) b->memoryBytes += entrySize(m);
    }
}

bool openNewSegment(METRIC_BACKLOG_T* b) {
    const uint64_t seq = b->segments.empty() ? 1 : b->segments.back().seq + 1;
    closeWriter(b);
    b->writeFd = open(segmentPath(b, seq).c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
    if (b->writeFd < 0) return false;
    b->segments.push_back(BACKLOG_SEGMENT_T{seq, 0, 0});
    fsyncDir(b);
    return true;
}

// Appends one record to the newest segment; sync makes it durable before returning.
bool append(METRIC_BACKLOG_T* b, const std::vector<uint8_t>& bytes, bool sync) {
    const bool rotate = b->segments.empty() || b->writeFd < 0 ||
                        b->segments.back().bytes >= std::max<uint64_t>(b->maxBytes / kSegmentShare, 1);
    if (rotate && !openNewSegment(b)) {
        fallBackToMemory(b, "create");
        return false;
    }
    if (!writeAll(b, b->writeFd, bytes) || (sync && b->ops.fsync(b->writeFd) != 0)) {
        fallBackToMemory(b, "write");
        return false;
    }
    b->segments.back().bytes += bytes.size();
    return true;
}

uint64_t bytesNow(const METRIC_BACKLOG_T* b) {
    if (!b->onDisk) return b->memoryBytes;
    uint64_t total = 0;
    for (const BACKLOG_SEGMENT_T& s : b->segments) total += s.bytes;
    return total;
}

// Drops kept metrics for a reason, recording it on disk unless their segment goes whole.
void dropMetrics(METRIC_BACKLOG_T* b, const std::vector<BACKLOG_METRIC_T*>& victims,
                 uint64_t* counter) {
    if (victims.empty()) return;
    std::vector<uint64_t> ids;
    for (BACKLOG_METRIC_T* m : victims) {
        ids.push_back(m->id);
        markResolved(b, *m);
    }
    *counter += victims.size();
    if (b->onDisk) (void)append(b, doneRecord(ids), false);
    if (b->onDisk) deleteResolvedSegments(b);
    popResolvedFront(b);
}

void dropOld(METRIC_BACKLOG_T* b, uint64_t nowMs) {
    std::vector<BACKLOG_METRIC_T*> victims;
    for (BACKLOG_METRIC_T& m : b->metrics) {
        if (m.resolved || m.inFlight) continue;
        if (m.ts + b->maxAgeMs >= nowMs) break;
        victims.push_back(&m);
    }
    dropMetrics(b, victims, &b->stats.droppedAge);
}

// Drops the oldest segment whole, its waiting metrics counted as dropped "full".
void dropOldestSegment(METRIC_BACKLOG_T* b) {
    const uint64_t seq = b->segments.front().seq;
    size_t dropped = 0;
    for (BACKLOG_METRIC_T& m : b->metrics) {
        if (m.resolved || m.segment != seq) continue;
        markResolved(b, m);
        ++dropped;
    }
    b->stats.droppedFull += dropped;
    b->segments.front().pending = 0;
    deleteResolvedSegments(b);
    popResolvedFront(b);
}

// Makes room for incoming bytes and metrics: the oldest go first.
void makeRoom(METRIC_BACKLOG_T* b, uint64_t incomingBytes, size_t incomingMetrics) {
    const size_t maxMetrics = kBacklogMaxMemoryBytes / sizeof(BACKLOG_METRIC_T);
    while (b->onDisk && !b->segments.empty() && bytesNow(b) + incomingBytes > b->maxBytes) {
        dropOldestSegment(b);
    }
    std::vector<BACKLOG_METRIC_T*> victims;
    uint64_t bytes = bytesNow(b);
    size_t live = b->live;
    for (BACKLOG_METRIC_T& m : b->metrics) {
        const bool overBytes = !b->onDisk && bytes + incomingBytes > b->maxBytes;
        if (!overBytes && live + incomingMetrics <= maxMetrics) break;
        if (m.resolved) continue;
        victims.push_back(&m);
        bytes -= entrySize(m);
        --live;
    }
    dropMetrics(b, victims, &b->stats.droppedFull);
}

void addMetric(METRIC_BACKLOG_T* b, const BACKLOG_METRIC_T& m) {
    b->metrics.push_back(m);
    ++b->live;
    ++b->series[seriesKey(m.moduleName, m.metricName)];
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
    Reader head{data.data() + at, data.size() - at};
    const uint64_t magic = head.get(4);
    const uint64_t type = head.get(4);
    const uint64_t length = head.get(4);
    const uint64_t crc = head.get(4);
    if (!head.ok || magic != kMagic || length > kMaxPayload || length > head.size - head.at) {
        return 0;
    }
    const uint8_t* payload = data.data() + at + kHeaderSize;
    if (crc32(payload, length) != crc) return 0;
    Reader body{payload, length};
    std::vector<BACKLOG_METRIC_T> metrics;
    std::unordered_set<uint64_t> ids;
    // A whole record of a type this version does not know is passed over.
    if ((type == kTypeKeep && !parseKeep(body, seq, &metrics)) ||
        (type == kTypeDone && !parseDone(body, &ids))) {
        return 0;
    }
    kept->insert(kept->end(), metrics.begin(), metrics.end());
    done->insert(ids.begin(), ids.end());
    return kHeaderSize + length;
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

// Reads one segment; a damaged tail is cut off the file and counted.
void loadSegment(METRIC_BACKLOG_T* b, uint64_t seq, std::vector<BACKLOG_METRIC_T>* kept,
                 std::unordered_set<uint64_t>* done) {
    const std::string path = segmentPath(b, seq);
    std::vector<uint8_t> data;
    if (!readFile(path, &data)) return;
    size_t at = 0;
    while (at < data.size()) {
        const size_t size = parseRecord(data, at, seq, kept, done);
        if (size == 0) break;
        at += size;
    }
    if (at < data.size()) {
        SM_LOG(2, "backlog segment %s damaged at byte %zu, cut there\n", path.c_str(), at);
        ++b->stats.corruptCut;
        if (truncate(path.c_str(), static_cast<off_t>(at)) != 0) {
            SM_LOG(2, "cut backlog segment %s failed: %s\n", path.c_str(), strerror(errno));
        }
    }
    b->segments.push_back(BACKLOG_SEGMENT_T{seq, at, 0});
}

std::vector<uint64_t> listSegments(const std::string& dir) {
    std::vector<uint64_t> seqs;
    const std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
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

void recover(METRIC_BACKLOG_T* b) {
    std::vector<BACKLOG_METRIC_T> kept;
    std::unordered_set<uint64_t> done;
    for (const uint64_t seq : listSegments(b->dir)) loadSegment(b, seq, &kept, &done);
    std::sort(kept.begin(), kept.end(),
              [](const BACKLOG_METRIC_T& x, const BACKLOG_METRIC_T& y) { return x.id < y.id; });
    for (const BACKLOG_METRIC_T& m : kept) {
        b->nextId = std::max(b->nextId, m.id + 1);
        if (done.count(m.id) != 0) continue;
        addMetric(b, m);
        for (BACKLOG_SEGMENT_T& s : b->segments) s.pending += s.seq == m.segment ? 1 : 0;
    }
    for (const uint64_t id : done) b->nextId = std::max(b->nextId, id + 1);
    deleteResolvedSegments(b);
    if (!b->segments.empty()) {
        b->writeFd = open(segmentPath(b, b->segments.back().seq).c_str(),
                          O_WRONLY | O_APPEND | O_CLOEXEC);
    }
    if (b->live != 0) {
        SM_LOG(1, "backlog: %zu metrics kept from before\n", b->live);
    }
}

bool prepareDir(const std::string& dir) {
    const size_t slash = dir.rfind('/');
    if (slash != std::string::npos && slash != 0 &&
        mk_deeppath(dir.substr(0, slash).c_str()) < 0) {
        return false;
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    (void)chmod(dir.c_str(), 0700);
    return access(dir.c_str(), W_OK | X_OK) == 0;
}

const BACKLOG_FILE_OPS_T kRealOps = {write, fsync};

}  // namespace

void metric_backlog_open(METRIC_BACKLOG_T* b, const std::string& dir,
                         const BACKLOG_FILE_OPS_T* ops) {
    const std::lock_guard<std::mutex> lock(b->lock);
    b->ops = ops != nullptr ? *ops : kRealOps;
    b->dir = dir;
    b->onDisk = !dir.empty() && prepareDir(dir);
    if (b->onDisk) {
        recover(b);
    } else if (!dir.empty()) {
        SM_LOG(2, "backlog folder %s unusable (create: %s), backlog kept in memory only\n",
               dir.c_str(), strerror(errno));
    }
}

void metric_backlog_close(METRIC_BACKLOG_T* b) {
    const std::lock_guard<std::mutex> lock(b->lock);
    closeWriter(b);
}

std::string metric_backlog_default_dir() {
    char base[kExeDirBufSize] = {};
    (void)get_exe_base_dir(base);  // on failure the folder is made relative, and may fail
    return std::string(base) + kBacklogDirSuffix;
}

uint64_t metric_backlog_instance_digest(const char* accountId, const char* productKey,
                                        const char* deviceName) {
    uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a, each text with its NUL
    for (const char* text : {accountId, productKey, deviceName}) {
        for (const char* p = text;; ++p) {
            hash = (hash ^ static_cast<uint8_t>(*p)) * 0x100000001b3ULL;
            if (*p == '\0') break;
        }
    }
    return hash == 0 ? 1 : hash;
}

void metric_backlog_set_instance(METRIC_BACKLOG_T* b, uint64_t instance) {
    const std::lock_guard<std::mutex> lock(b->lock);
    b->instance = instance;
    std::vector<BACKLOG_METRIC_T*> victims;
    for (BACKLOG_METRIC_T& m : b->metrics) {
        if (!m.resolved && !m.inFlight && m.instance != instance) victims.push_back(&m);
    }
    dropMetrics(b, victims, &b->stats.droppedInstance);
}

void metric_backlog_keep(METRIC_BACKLOG_T* b, std::vector<BACKLOG_METRIC_T> metrics,
                         uint64_t nowMs) {
    const std::lock_guard<std::mutex> lock(b->lock);
    dropOld(b, nowMs);
    uint64_t bytes = kHeaderSize + kKeepHead;
    for (const BACKLOG_METRIC_T& m : metrics) bytes += entrySize(m);
    // A single keep larger than the bound keeps its newest metrics.
    size_t skip = 0;
    while (skip < metrics.size() && bytes > b->maxBytes) bytes -= entrySize(metrics[skip++]);
    b->stats.droppedFull += skip;
    metrics.erase(metrics.begin(), metrics.begin() + static_cast<ptrdiff_t>(skip));
    if (metrics.empty()) return;
    makeRoom(b, bytes, metrics.size());
    for (BACKLOG_METRIC_T& m : metrics) {
        m.id = b->nextId++;
        m.instance = b->instance;
        m.resolved = m.inFlight = false;
    }
    if (b->onDisk && append(b, keepRecord(metrics), true)) {
        for (BACKLOG_METRIC_T& m : metrics) m.segment = b->segments.back().seq;
        b->segments.back().pending += metrics.size();
    } else {
        b->memoryBytes += bytes - kHeaderSize - kKeepHead;
    }
    for (const BACKLOG_METRIC_T& m : metrics) addMetric(b, m);
    b->stats.kept += metrics.size();
}

std::vector<BACKLOG_METRIC_T> metric_backlog_take(METRIC_BACKLOG_T* b, size_t max,
                                                  uint64_t nowMs) {
    const std::lock_guard<std::mutex> lock(b->lock);
    std::vector<BACKLOG_METRIC_T> out;
    if (b->instance == 0) return out;
    dropOld(b, nowMs);
    std::unordered_set<std::string> seen;  // series whose oldest waiting metric was met
    for (BACKLOG_METRIC_T& m : b->metrics) {
        if (out.size() >= max || seen.size() >= b->series.size()) break;
        if (m.resolved) continue;
        const bool first = seen.insert(seriesKey(m.moduleName, m.metricName)).second;
        if (!first || m.inFlight) continue;
        m.inFlight = true;
        out.push_back(m);
    }
    return out;
}

void metric_backlog_resolve(METRIC_BACKLOG_T* b, const std::vector<uint64_t>& ids,
                            const std::vector<BacklogOutcome>& outcomes) {
    const std::lock_guard<std::mutex> lock(b->lock);
    std::vector<uint64_t> done;
    for (size_t i = 0; i < ids.size() && i < outcomes.size(); ++i) {
        const auto it = std::lower_bound(
            b->metrics.begin(), b->metrics.end(), ids[i],
            [](const BACKLOG_METRIC_T& m, uint64_t id) { return m.id < id; });
        if (it == b->metrics.end() || it->id != ids[i] || it->resolved) continue;
        BacklogOutcome outcome = outcomes[i];
        if (outcome == BacklogOutcome::kAuthFailed) {
            outcome = it->authRetried ? BacklogOutcome::kRefused : BacklogOutcome::kRetry;
            it->authRetried = true;
        }
        it->inFlight = false;
        if (outcome == BacklogOutcome::kRetry) {
            ++b->stats.retried;
            continue;
        }
        ++(outcome == BacklogOutcome::kUploaded ? b->stats.uploaded : b->stats.droppedRefused);
        done.push_back(ids[i]);
        markResolved(b, *it);
    }
    if (b->onDisk && !done.empty()) (void)append(b, doneRecord(done), false);
    if (b->onDisk) deleteResolvedSegments(b);
    popResolvedFront(b);
}

bool metric_backlog_holds_series(METRIC_BACKLOG_T* b, const char* moduleName,
                                 const char* metricName) {
    const std::lock_guard<std::mutex> lock(b->lock);
    return b->series.count(seriesKey(moduleName, metricName)) != 0;
}

void metric_backlog_count_refused(METRIC_BACKLOG_T* b, uint64_t count) {
    const std::lock_guard<std::mutex> lock(b->lock);
    b->stats.droppedRefused += count;
}

BACKLOG_STATS_T metric_backlog_stats(METRIC_BACKLOG_T* b) {
    const std::lock_guard<std::mutex> lock(b->lock);
    BACKLOG_STATS_T out = b->stats;
    out.metricsNow = b->live;
    out.bytesNow = bytesNow(b);
    b->stats = BACKLOG_STATS_T{};
    return out;
}

size_t metric_backlog_size(METRIC_BACKLOG_T* b) {
    const std::lock_guard<std::mutex> lock(b->lock);
    return b->live;
}
