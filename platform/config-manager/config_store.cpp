#include "config_store.h"

#include <dbus/dbus.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cfgstore {
namespace {

const char kHeader[] = "# gateway configuration store: key<TAB>value, escapes \\\\ \\t \\r \\n\n";

std::string errnoText(const std::string& what) {
    return what + ": " + strerror(errno);
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool readAll(int fd, std::string* out) {
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out->append(buf, static_cast<size_t>(n));
    }
}

bool fsyncFolder(const std::string& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

// Reads one "key<TAB>value" line; the reason of a failure goes to *problem.
bool parseLine(const std::string& line, std::string* key, std::string* value,
               std::string* problem) {
    if (!isValidText(line)) {
        *problem = "not UTF-8 text";
        return false;
    }
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) {
        *problem = "no tab between key and value";
        return false;
    }
    if (!unescapeField(line.substr(0, tab), key) || !unescapeField(line.substr(tab + 1), value)) {
        *problem = "bad escape";
        return false;
    }
    if (key->empty()) {
        *problem = "empty key";
        return false;
    }
    return true;
}

}  // namespace

bool isValidText(const std::string& text) {
    if (text.find('\0') != std::string::npos) return false;
    return dbus_validate_utf8(text.c_str(), nullptr) != 0;
}

std::string escapeField(const std::string& text, bool isKey) {
    std::string out;
    out.reserve(text.size() + 8);
    if (isKey && !text.empty() && text[0] == '#') out += '\\';
    for (const char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
    return out;
}

bool unescapeField(const std::string& text, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            *out += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
        case '\\': *out += '\\'; break;
        case 't': *out += '\t'; break;
        case 'r': *out += '\r'; break;
        case 'n': *out += '\n'; break;
        case '#': *out += '#'; break;
        default: return false;
        }
    }
    return true;
}

std::string formatEntries(const Entries& entries) {
    std::string text;
    for (const auto& [key, value] : entries) {
        text += escapeField(key, true);
        text += '\t';
        text += escapeField(value, false);
        text += '\n';
    }
    return text;
}

LoadResult parseStore(const std::string& text) {
    LoadResult result;
    size_t start = 0;
    for (int lineNo = 1; start < text.size(); ++lineNo) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();  // hand-made seed files
        if (line.empty() || line[0] == '#') continue;
        std::string key, value, problem;
        if (parseLine(line, &key, &value, &problem)) {
            result.entries[key] = value;
        } else {
            result.problems.push_back("line " + std::to_string(lineNo) + ": " + problem);
        }
    }
    return result;
}

bool loadStoreFile(const std::string& path, LoadResult* out, std::string* error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            *out = LoadResult{};
            out->missing = true;
            return true;
        }
        *error = errnoText("cannot open " + path);
        return false;
    }
    std::string text;
    const bool ok = readAll(fd, &text);
    const int savedErrno = errno;
    close(fd);
    if (!ok) {
        errno = savedErrno;
        *error = errnoText("cannot read " + path);
        return false;
    }
    *out = parseStore(text);
    return true;
}

bool saveStoreFile(const std::string& path, const Entries& entries, std::string* error) {
    const std::string tmp = path + ".tmp";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = errnoText("cannot create " + tmp);
        return false;
    }
    bool ok = writeAll(fd, kHeader + formatEntries(entries));
    if (!ok) *error = errnoText("cannot write " + tmp);
    if (ok && fsync(fd) != 0) {
        *error = errnoText("cannot sync " + tmp);
        ok = false;
    }
    if (close(fd) != 0 && ok) {
        *error = errnoText("cannot close " + tmp);
        ok = false;
    }
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        *error = errnoText("cannot rename " + tmp + " to " + path);
        ok = false;
    }
    if (!ok) {
        unlink(tmp.c_str());
        return false;
    }
    // The new store is in place; a failed folder sync only weakens durability.
    if (!fsyncFolder(folderOf(path))) *error = errnoText("cannot sync the folder of " + path);
    return true;
}

}  // namespace cfgstore
