// The program file as fwld sends it, reduced to what its progress line
// means: after which record each percentage first shows.
#include <cstdint>

#include "console.h"
#include "gang.h"

namespace {

constexpr int RECORD_COUNT_MAX = 126;

void note_percentages(ProgramLayout* layout, int* next, int32_t records, int64_t bytes) {
    // fwld refuses a file of 2 GiB or more, so both fit its sum.
    const long reached =
        progress_percent(static_cast<int32_t>(layout->file_size), static_cast<int32_t>(bytes));
    for (; *next <= reached && *next < PERCENT_STEPS; ++*next) {
        layout->records_at[*next] = records;
        layout->bytes_at[*next] = bytes;
    }
}

// Bytes of the record that starts with `type`, its type byte included; 0 at
// a record fwld would refuse.
int64_t record_length(FILE* file, int type) {
    if (type == 'E') return 1;
    const int count = std::fgetc(file);
    if (count == EOF || count > RECORD_COUNT_MAX) return 0;
    for (int i = 0; i < count; ++i) {
        if (std::fgetc(file) == EOF) return 0;
    }
    return count + 2;
}

}  // namespace

bool read_program_layout(FILE* file, ProgramLayout* layout) {
    *layout = ProgramLayout{};
    if (file == nullptr) return false;
    int next = 0;
    int64_t size = 0;
    if (std::fseek(file, 0, SEEK_END) != 0 || (size = std::ftell(file)) < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
        return false;
    }
    if (size > INT32_MAX) return false;  // fwld refuses it
    layout->file_size = size;
    for (int type = std::fgetc(file); type != EOF; type = std::fgetc(file)) {
        if (type != 'S' && type != 'E') continue;
        const int64_t length = record_length(file, type);
        if (length == 0) return false;
        layout->record_count++;
        layout->record_bytes += length;
        note_percentages(layout, &next, layout->record_count, layout->record_bytes);
    }
    // Percentages fwld never shows for this file count as all of it.
    for (; next < PERCENT_STEPS; ++next) {
        layout->records_at[next] = layout->record_count;
        layout->bytes_at[next] = layout->record_bytes;
    }
    layout->known = !std::ferror(file);
    return layout->known;
}
