// The tool's side of the protocol, scripted step by step for the target's
// own tests.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sim_target.h"
#include "testbed.h"

namespace tool_side {

using testbed::ms;

inline std::string reset_sentence(int id) {
    std::string body = "PZKW,cprst," + std::to_string(id);
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

inline std::string password(int id) { return id == 0 ? "Wake up now." : "Wake up now" + std::to_string(id); }

inline std::string end_marker() { return std::string("Finish Boot File") + std::string(64, '\0'); }

// The loader as the tool sends it: "Loader", 80-byte records, end marker.
inline std::string loader_stream(const std::string& loader) {
    std::string s = "Loader";
    for (size_t i = 0; i < loader.size(); i += 80) {
        std::string rec = loader.substr(i, 80);
        rec.resize(80, '\0');
        s += rec;
    }
    return s + end_marker();
}

inline const ms kWait{5000};

// Reset sentence and one password; expects the acknowledgement and 'G'.
inline void wake(testbed::SerialEnd& line, int id = 0) {
    line.send(reset_sentence(id) + password(id));
    EXPECT_EQ(line.recv(10, kWait), "Ready ok.G");
}

// Waits for 'H' and sends the record; false when something else came.
inline bool answer_h(testbed::SerialEnd& line, const std::string& record) {
    std::string h = line.recv(1, kWait);
    EXPECT_EQ(h, "H");
    if (h != "H") return false;
    line.send(record);
    return true;
}

inline std::string S(const std::string& data) { return "S" + std::string(1, static_cast<char>(data.size())) + data; }

}  // namespace tool_side
