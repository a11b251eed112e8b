#include "audio/table_file.h"

#include "audio/decimal.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char kHeaderWord[] = "appduck-table 1 ";
// How often a reader reads again when it met a write in progress.
constexpr int kReadTries = 4;

struct Copy {
    bool written;  // its header is not all zeros
    bool whole;    // its header parses; the text is checked apart
    uint64_t writes;
    int length;
    uint64_t checksum;
};

// FNV-1a, cut below the ceiling of the one decimal reader.
uint64_t checksum_of(const char* text, int length)
{
    uint64_t digest = 14695981039346656037ull;
    for (int i = 0; i < length; ++i) {
        digest ^= static_cast<unsigned char>(text[i]);
        digest *= 1099511628211ull;
    }
    return digest % kDecimalCeiling;
}

// "appduck-table 1 WRITES LENGTH CHECKSUM\n", then zeros.
Copy parse_header(const char* header)
{
    Copy copy{};
    for (int i = 0; i < kTableHeaderBytes && !copy.written; ++i)
        copy.written = header[i] != 0;
    const size_t word = sizeof kHeaderWord - 1;
    if (!copy.written || std::strncmp(header, kHeaderWord, word) != 0)
        return copy;
    const char* at = header + word;
    uint64_t fields[3];
    for (int i = 0; i < 3; ++i) {
        const char* end = nullptr;
        fields[i] = read_decimal_digits(at, &end);
        if (end == at || *end != (i < 2 ? ' ' : '\n'))
            return copy;
        at = end + 1;
    }
    if (fields[1] >= static_cast<uint64_t>(kSharedTableBytes))
        return copy;
    copy.whole = true;
    copy.writes = fields[0];
    copy.length = static_cast<int>(fields[1]);
    copy.checksum = fields[2];
    return copy;
}

bool read_header(const TableFile& file, int which, Copy* copy)
{
    char header[kTableHeaderBytes];
    if (!file.read_at(static_cast<uint64_t>(which) * kTableCopyBytes, header, kTableHeaderBytes))
        return false;
    *copy = parse_header(header);
    return true;
}

// The newer whole copy first.
void order_copies(const Copy* copies, int* order)
{
    const bool second_first =
        copies[1].whole && (!copies[0].whole || copies[1].writes > copies[0].writes);
    order[0] = second_first ? 1 : 0;
    order[1] = second_first ? 0 : 1;
}

uint64_t newest_writes(const Copy* copies)
{
    uint64_t newest = 0;
    for (int i = 0; i < 2; ++i) {
        if (copies[i].whole && copies[i].writes > newest)
            newest = copies[i].writes;
    }
    return newest;
}

}  // namespace

bool table_file_generation(const TableFile& file, uint64_t* generation)
{
    Copy copies[2];
    if (!read_header(file, 0, &copies[0]) || !read_header(file, 1, &copies[1]))
        return false;
    *generation = newest_writes(copies);
    return true;
}

TableRead read_table_file(const TableFile& file, char* text, int capacity, uint64_t* generation)
{
    text[0] = 0;
    *generation = 0;
    for (int attempt = 0; attempt < kReadTries; ++attempt) {
        Copy copies[2];
        if (!read_header(file, 0, &copies[0]) || !read_header(file, 1, &copies[1]))
            return TableRead::kFailed;
        *generation = newest_writes(copies);
        if (!copies[0].written && !copies[1].written)
            return TableRead::kWhole;  // never written: an empty table
        int order[2];
        order_copies(copies, order);
        for (const int which : order) {
            const Copy& copy = copies[which];
            if (!copy.whole || copy.length >= capacity)
                continue;
            if (!file.read_at(static_cast<uint64_t>(which) * kTableCopyBytes + kTableHeaderBytes, text,
                              copy.length))
                return TableRead::kFailed;
            if (checksum_of(text, copy.length) == copy.checksum) {
                text[copy.length] = 0;
                return TableRead::kWhole;
            }
        }
        // Neither copy whole: garbage, or a write met twice. Once more.
    }
    text[0] = 0;
    return TableRead::kDamaged;
}

bool write_table_file(const TableFile& file, const char* text, int length)
{
    if (length < 0 || length >= kSharedTableBytes)
        return false;
    Copy copies[2];
    if (!read_header(file, 0, &copies[0]) || !read_header(file, 1, &copies[1]))
        return false;
    int order[2];
    order_copies(copies, order);
    // Over the older copy; the newest whole one stays until this is whole.
    const int target = copies[order[0]].whole ? order[1] : order[0];
    const uint64_t writes = (copies[order[0]].whole ? copies[order[0]].writes : 0) + 1;
    char header[kTableHeaderBytes] = {};
    std::snprintf(header, sizeof header, "%s%llu %d %llu\n", kHeaderWord,
                  static_cast<unsigned long long>(writes), length,
                  static_cast<unsigned long long>(checksum_of(text, length)));
    const uint64_t base = static_cast<uint64_t>(target) * kTableCopyBytes;
    // The text first: a header over a torn text would not match it.
    return file.write_at(base + kTableHeaderBytes, text, length) &&
           file.write_at(base, header, kTableHeaderBytes);
}
