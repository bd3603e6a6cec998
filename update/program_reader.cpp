// Reading program records, and the pre-flight check of a whole file.
#include "program_reader.h"

RecordRead read_program_record(RecordSlot* slot, FILE* stream) {
    int type = 0;
    do {
        type = std::fgetc(stream);
        if (type == EOF) return NO_RECORD;
    } while (type != 'S' && type != 'E');
    slot->bytes[0] = static_cast<unsigned char>(type);
    if (type == 'E') {
        slot->length = 1;
        return RECORD;
    }
    const int count = std::fgetc(stream);
    if (count == EOF) return NO_RECORD;
    slot->bytes[1] = static_cast<unsigned char>(count);
    if (count > RECORD_COUNT_MAX) return RECORD_TOO_LONG;
    slot->length = count + 2;
    // One request for the data: a short file sets the end-of-file indicator,
    // which the caller checks.
    std::fread(slot->bytes + 2, 1, static_cast<size_t>(count), stream);
    return RECORD;
}

bool check_program_file(FILE* stream, char* message, size_t size) {
    std::rewind(stream);
    long offset = 0;
    bool ok = true;
    for (int byte = std::fgetc(stream); byte != EOF && ok; byte = std::fgetc(stream), ++offset) {
        if (byte != 'S') continue;
        const long record_offset = offset;
        const int count = std::fgetc(stream);
        unsigned char data[RECORD_SLOT_SIZE];
        if (count == EOF) {
            std::snprintf(message, size, "Hex file ends inside the record at byte %ld (no count byte).", record_offset);
            ok = false;
        } else if (count > RECORD_COUNT_MAX) {
            std::snprintf(message, size, "Hex file record at byte %ld has count %d; at most %d fit.", record_offset,
                          count, RECORD_COUNT_MAX);
            ok = false;
        } else if (std::fread(data, 1, static_cast<size_t>(count), stream) != static_cast<size_t>(count) &&
                   !std::ferror(stream)) {
            std::snprintf(message, size, "Hex file ends inside the record at byte %ld (%d data bytes expected).",
                          record_offset, count);
            ok = false;
        }
        offset += 1 + count;
    }
    if (ok && std::ferror(stream)) {
        std::snprintf(message, size, "Hex file can not be read.");
        ok = false;
    }
    std::rewind(stream);
    return ok;
}
