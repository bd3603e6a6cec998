// Reading program records, and the pre-flight check of a whole file.
#include "program_reader.h"

#include <sys/stat.h>

namespace {

void sink_flush(DigestSink* sink) {
    sha256_update(&sink->sha, sink->pending, sink->pending_count);
    sink->pending_count = 0;
}

void sink_byte(DigestSink* sink, unsigned char byte) {
    if (sink == nullptr) return;
    sink->pending[sink->pending_count++] = byte;
    if (sink->pending_count == sizeof sink->pending) sink_flush(sink);
}

int take_byte(ProgramStream* stream) {
    const int byte = std::fgetc(stream->file);
    if (byte == EOF) return EOF;
    ++stream->consumed;
    stream->digest = digest_byte(stream->digest, static_cast<unsigned char>(byte));
    sink_byte(stream->sink, static_cast<unsigned char>(byte));
    return byte;
}

size_t take_bytes(ProgramStream* stream, unsigned char* out, size_t count) {
    const size_t got = std::fread(out, 1, count, stream->file);
    for (size_t i = 0; i < got; ++i) {
        stream->digest = digest_byte(stream->digest, out[i]);
        sink_byte(stream->sink, out[i]);
    }
    stream->consumed += static_cast<int64_t>(got);
    return got;
}

bool file_size_now(FILE* file, int64_t* size) {
    struct stat info{};
    if (fstat(fileno(file), &info) != 0) return false;
    *size = static_cast<int64_t>(info.st_size);
    return true;
}

bool size_still_as_checked(FILE* file, const ProgramFingerprint& checked) {
    int64_t size = -1;
    return file_size_now(file, &size) && size == checked.size;
}

}  // namespace

void program_stream_start(ProgramStream* stream, FILE* file) {
    stream->file = file;
    stream->consumed = 0;
    stream->digest = FNV_OFFSET_BASIS;
    stream->looked_block = -1;
    stream->sink = nullptr;
}

RecordRead read_program_record(RecordSlot* slot, ProgramStream* stream) {
    int type = 0;
    do {
        type = take_byte(stream);
        if (type == EOF) return NO_RECORD;
    } while (type != 'S' && type != 'E');
    slot->bytes[0] = static_cast<unsigned char>(type);
    if (type == 'E') {
        slot->length = 1;
        return RECORD;
    }
    const int count = take_byte(stream);
    if (count == EOF) return NO_RECORD;
    slot->bytes[1] = static_cast<unsigned char>(count);
    if (count > RECORD_COUNT_MAX) return RECORD_TOO_LONG;
    slot->length = count + 2;
    // One request for the data: a short file sets the end-of-file indicator,
    // which the caller checks.
    take_bytes(stream, slot->bytes + 2, static_cast<size_t>(count));
    return RECORD;
}

bool check_program_file(FILE* stream, ProgramFingerprint* seen, char* message, size_t size) {
    std::rewind(stream);
    ProgramStream whole;
    program_stream_start(&whole, stream);
    // The SHA-256 of exactly the bytes checked, for the result log.
    static DigestSink sink;
    sink.pending_count = 0;
    sha256_begin(&sink.sha);
    whole.sink = &sink;
    seen->records = 0;
    bool ok = true;
    for (int byte = take_byte(&whole); byte != EOF && ok; byte = take_byte(&whole)) {
        if (byte == 'E') ++seen->records;
        if (byte != 'S') continue;
        const long record_offset = static_cast<long>(whole.consumed - 1);
        const int count = take_byte(&whole);
        unsigned char data[RECORD_SLOT_SIZE];
        if (count == EOF) {
            std::snprintf(message, size, "Hex file ends inside the record at byte %ld (no count byte).", record_offset);
            ok = false;
        } else if (count > RECORD_COUNT_MAX) {
            std::snprintf(message, size, "Hex file record at byte %ld has count %d; at most %d fit.", record_offset,
                          count, RECORD_COUNT_MAX);
            ok = false;
        } else if (take_bytes(&whole, data, static_cast<size_t>(count)) != static_cast<size_t>(count) &&
                   !std::ferror(stream)) {
            std::snprintf(message, size, "Hex file ends inside the record at byte %ld (%d data bytes expected).",
                          record_offset, count);
            ok = false;
        } else {
            ++seen->records;
        }
    }
    if (ok && std::ferror(stream)) {
        std::snprintf(message, size, "Hex file can not be read.");
        ok = false;
    }
    seen->size = whole.consumed;
    seen->digest = whole.digest;
    sink_flush(&sink);
    if (!sha256_finish(&sink.sha, seen->sha256)) seen->sha256[0] = '\0';
    std::rewind(stream);
    return ok;
}

bool program_file_unchanged(ProgramStream* stream, const ProgramFingerprint& checked, bool at_end) {
    if (at_end) {
        return stream->consumed == checked.size && stream->digest == checked.digest &&
               size_still_as_checked(stream->file, checked);
    }
    // More bytes than were checked: something was appended. No system call.
    if (stream->consumed > checked.size) return false;
    const int64_t block = stream->consumed / SIZE_LOOK_BLOCK;
    if (block == stream->looked_block) return true;
    stream->looked_block = block;
    return size_still_as_checked(stream->file, checked);
}
