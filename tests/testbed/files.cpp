#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "testbed.h"

namespace testbed {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/fwld-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
    return path;
}

std::string write_file(const std::string& path, const Bytes& data) {
    return write_file(path, std::string(data.begin(), data.end()));
}

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string sha256sum_of(const std::string& path) {
    FILE* tool = popen(("sha256sum '" + path + "'").c_str(), "r");
    if (tool == nullptr) return "";
    char hex[64];
    const size_t got = std::fread(hex, 1, sizeof hex, tool);
    const bool whole = pclose(tool) == 0 && got == sizeof hex;
    return whole ? std::string(hex, got) : "";
}

Bytes to_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace testbed
