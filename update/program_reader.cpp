// Reading program records, and the pre-flight check of a whole file.
#include "program_reader.h"

#include "input_file.h"

#include <cerrno>
#include <cstring>

#include "foreign_format.h"

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

bool file_size_now(FILE* file, int64_t* size) { return input_file_stream_length(file, size); }

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

namespace {

// Where the framing of the file stands after each byte of the pre-flight pass.
enum FramePlace : uint8_t { OUTSIDE_RECORD, AT_COUNT, IN_DATA };

enum FrameFault : uint8_t { FRAMED, NO_COUNT_BYTE, COUNT_TOO_LARGE, DATA_CUT_SHORT };

struct Framing {
    FramePlace place;
    FrameFault fault;      // the first fault; framing stops there
    int count;             // of the S record being read
    int remaining;         // its data bytes still to come
    int64_t record_at;     // offset of its type byte
    int64_t records;       // whole S and E records
    int64_t last_s_at;     // offset of the last whole record when it is an S record; -1: it is not
};

void frame_record_done(Framing* f, bool s_record) {
    ++f->records;
    f->last_s_at = s_record ? f->record_at : -1;
    f->place = OUTSIDE_RECORD;
}

void frame_byte(Framing* f, unsigned char byte, int64_t offset) {
    if (f->fault != FRAMED) return;
    switch (f->place) {
    case OUTSIDE_RECORD:
        f->record_at = offset;
        if (byte == 'E') frame_record_done(f, false);
        if (byte == 'S') f->place = AT_COUNT;
        return;
    case AT_COUNT:
        f->count = byte;
        f->remaining = byte;
        if (byte > RECORD_COUNT_MAX) {
            f->fault = COUNT_TOO_LARGE;
        } else if (byte == 0) {
            frame_record_done(f, true);
        } else {
            f->place = IN_DATA;
        }
        return;
    case IN_DATA:
        if (--f->remaining == 0) frame_record_done(f, true);
        return;
    }
}

void frame_end(Framing* f) {
    if (f->fault != FRAMED) return;
    if (f->place == AT_COUNT) f->fault = NO_COUNT_BYTE;
    if (f->place == IN_DATA) f->fault = DATA_CUT_SHORT;
}

// What the pass found, as the stop's message: false when there is nothing to say.
bool refusal_text(const Framing& f, ForeignFormat format, const char* path, char* message, size_t size) {
    const long at = static_cast<long>(f.record_at);
    if (format != FORMAT_NONE) {
        std::snprintf(message, size, "Hex file \"%s\" is %s; fwld sends binary 'S'/'E' program records.", path,
                      foreign_format_name(format));
    } else if (f.fault == NO_COUNT_BYTE) {
        std::snprintf(message, size, "Hex file \"%s\" ends inside the record at byte %ld (no count byte).", path, at);
    } else if (f.fault == COUNT_TOO_LARGE) {
        std::snprintf(message, size, "Hex file \"%s\" record at byte %ld has count %d; at most %d fit.", path, at,
                      f.count, RECORD_COUNT_MAX);
    } else if (f.fault == DATA_CUT_SHORT) {
        std::snprintf(message, size, "Hex file \"%s\" ends inside the record at byte %ld (%d data bytes expected).",
                      path, at, f.count);
    } else if (f.records == 0) {
        std::snprintf(message, size, "Hex file \"%s\" holds no program record ('S' or 'E'): nothing would be sent.",
                      path);
    } else if (f.last_s_at >= 0) {
        // The run would end as finished with the target still waiting for the image's end.
        std::snprintf(message, size,
                      "Hex file \"%s\" has no E record after its last S record (byte %ld): the target would never "
                      "be told that the image ended.",
                      path, static_cast<long>(f.last_s_at));
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool check_program_file(FILE* stream, const char* path, ProgramFingerprint* seen, char* message, size_t size) {
    std::rewind(stream);
    ProgramStream whole;
    program_stream_start(&whole, stream);
    // The SHA-256 of exactly the bytes checked, for the result log.
    static DigestSink sink;
    sink.pending_count = 0;
    sha256_begin(&sink.sha);
    whole.sink = &sink;
    Framing framing{OUTSIDE_RECORD, FRAMED, 0, 0, 0, 0, -1};
    ForeignScan foreign;
    foreign_scan_start(&foreign);
    // Every byte, also after a fault: a foreign format explains a broken
    // framing better than its first fault does, and the log gets the whole
    // file's size and digest.
    unsigned char block[4096];
    size_t got = 0;
    while ((got = take_bytes(&whole, block, sizeof block)) > 0) {
        const int64_t block_at = whole.consumed - static_cast<int64_t>(got);
        for (size_t i = 0; i < got; ++i) {
            frame_byte(&framing, block[i], block_at + static_cast<int64_t>(i));
            foreign_scan_byte(&foreign, block[i]);
        }
    }
    const bool read_failed = std::ferror(stream) != 0;
    const int read_error = errno;
    frame_end(&framing);
    seen->records = framing.records;
    seen->size = whole.consumed;
    seen->digest = whole.digest;
    sink_flush(&sink);
    if (!sha256_finish(&sink.sha, seen->sha256)) seen->sha256[0] = '\0';
    std::rewind(stream);
    if (read_failed) {
        std::snprintf(message, size, "Hex file \"%s\" can not be read (%s).", path, std::strerror(read_error));
        return false;
    }
    return !refusal_text(framing, foreign_scan_end(&foreign), path, message, size);
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
