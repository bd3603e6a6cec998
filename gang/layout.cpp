// The program file as fwld sends it, reduced to what its progress line
// means: after which record each percentage first shows.
#include "gang.h"

namespace {

constexpr int RECORD_COUNT_MAX = 126;

// fwld's arithmetic: whole hundredths of the file size, or for a file under
// 100 bytes the plain ratio.
int percent_of(int64_t file_size, int64_t sent) {
    if (file_size < 100) return file_size <= 0 ? 0 : static_cast<int>(sent * 100 / file_size);
    return static_cast<int>(sent / (file_size / 100));
}

void note_percentages(ProgramLayout* layout, int* next, int32_t records, int64_t bytes) {
    const int reached = percent_of(layout->file_size, bytes);
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
