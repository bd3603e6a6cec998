#include "record_list.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace sim {

size_t RecordList::byte_count() const {
    size_t total = 0;
    for (const Bytes& r : records) total += r.size();
    return total;
}

std::string RecordList::digest() const { return records_digest(records); }

RecordList records_from_file_bytes(const Bytes& file) {
    RecordList list;
    size_t i = 0;
    while (i < file.size()) {
        uint8_t type = file[i++];
        if (type == 'E') {
            list.records.push_back({type});
            continue;
        }
        if (type != 'S') continue;
        if (i >= file.size()) break;  // type byte without count: no record
        size_t count = file[i++];
        // The reader asks for `count` bytes in one go; a short read ends the
        // transfer without sending. Asking for zero bytes at the very end is
        // met in full, so an empty S record there still goes out.
        if (file.size() - i < count) break;
        if (count > 126) list.has_oversize = true;
        Bytes rec{type, static_cast<uint8_t>(count)};
        rec.insert(rec.end(), file.begin() + static_cast<long>(i), file.begin() + static_cast<long>(i + count));
        i += count;
        list.records.push_back(std::move(rec));
    }
    return list;
}

std::optional<RecordList> records_from_file(const std::string& path) {
    auto data = read_whole_file(path);
    if (!data) return std::nullopt;
    return records_from_file_bytes(*data);
}

std::string records_digest(const std::vector<Bytes>& records) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (const Bytes& r : records) {
        for (uint8_t b : r) {
            h ^= b;
            h *= 0x100000001b3ULL;
        }
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

std::optional<Bytes> read_whole_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return data;
}

bool write_whole_file(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

}  // namespace sim
