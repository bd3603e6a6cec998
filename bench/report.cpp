// The benchmark's report: a table for people, and "name value unit" lines
// for scripts and for comparing two runs with diff.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "bench.h"

namespace bench {

double median(std::vector<double> values) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

void Report::declare(const std::string& key, const std::string& label, const std::string& unit, int decimals) {
    if (rows_.find(key) != rows_.end()) return;
    order_.push_back(key);
    rows_[key] = Row{label, unit, decimals, {}};
}

void Report::add(const Flavour& f, const std::string& key, const std::string& label, double value,
                 const std::string& unit, int decimals) {
    declare(key, label, unit, decimals);
    rows_[key].values[f.name] = value;
    if (std::find(flavours_.begin(), flavours_.end(), f.name) == flavours_.end()) flavours_.push_back(f.name);
}

void Report::note(const std::string& text) { notes_.push_back(text); }

namespace {

std::string shown(double value, int decimals) {
    if (std::isnan(value)) return "n/a";
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

void Report::print_table(FILE* out) const {
    constexpr int LABEL_WIDTH = 52;
    std::fprintf(out, "%-*s", LABEL_WIDTH, "figure");
    for (const std::string& f : flavours_) std::fprintf(out, " %10s", f.c_str());
    std::fprintf(out, "  unit\n");
    for (const std::string& key : order_) {
        const Row& row = rows_.at(key);
        std::fprintf(out, "%-*s", LABEL_WIDTH, row.label.c_str());
        for (const std::string& f : flavours_) {
            const auto found = row.values.find(f);
            std::fprintf(out, " %10s", found == row.values.end() ? "-" : shown(found->second, row.decimals).c_str());
        }
        std::fprintf(out, "  %s\n", row.unit.c_str());
    }
    for (const std::string& n : notes_) std::fprintf(out, "note: %s\n", n.c_str());
}

bool Report::write_results(const std::string& path) const {
    FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) return false;
    for (const std::string& key : order_) {
        const Row& row = rows_.at(key);
        for (const std::string& f : flavours_) {
            const auto found = row.values.find(f);
            if (found == row.values.end()) continue;
            // Two more decimals than the table: diffs between runs show small moves.
            std::fprintf(out, "%s.%s %s %s\n", f.c_str(), key.c_str(), shown(found->second, row.decimals + 2).c_str(),
                         row.unit.c_str());
        }
    }
    for (const std::string& n : notes_) std::fprintf(out, "# %s\n", n.c_str());
    return std::fclose(out) == 0;
}

}  // namespace bench
