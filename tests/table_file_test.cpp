// The shared table's file: the newest whole copy is read, a write cut
// short at any byte leaves the one before it, and bytes that are no table
// read as damaged.
#include "audio/table_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

char g_file[kTableFileBytes];
int g_write_budget = -1;  // bytes a write may still put down; -1: all

bool read_at(uint64_t offset, char* into, int length)
{
    std::memcpy(into, g_file + offset, static_cast<size_t>(length));
    return true;
}

bool write_at(uint64_t offset, const char* bytes, int length)
{
    int allowed = length;
    if (g_write_budget >= 0) {
        allowed = length < g_write_budget ? length : g_write_budget;
        g_write_budget -= allowed;
    }
    std::memcpy(g_file + offset, bytes, static_cast<size_t>(allowed));
    return allowed == length;
}

const TableFile kFile = {read_at, write_at};

std::string read_text()
{
    static char text[kSharedTableBytes];
    uint64_t generation = 0;
    EXPECT_EQ(read_table_file(kFile, text, kSharedTableBytes, &generation), TableRead::kWhole);
    return text;
}

TEST(TableFile, AWriteCutShortAtAnyByteLeavesTheCopyBeforeIt)
{
    std::memset(g_file, 0, sizeof g_file);
    EXPECT_EQ(read_text(), "") << "a file never written is an empty table";
    const std::string first = "appduck-holds 2\nholder 1 2\n";
    const std::string second = "appduck-holds 2\nholder 3 4\nholder 5 6\n";
    ASSERT_TRUE(write_table_file(kFile, first.c_str(), static_cast<int>(first.size())));
    EXPECT_EQ(read_text(), first);
    // Cut in the text, or in the header's line after it (the zeros after
    // that line are there already).
    for (int budget = 0; budget < static_cast<int>(second.size()) + 24; budget += 3) {
        static char saved[kTableFileBytes];
        std::memcpy(saved, g_file, sizeof g_file);
        g_write_budget = budget;
        EXPECT_FALSE(write_table_file(kFile, second.c_str(), static_cast<int>(second.size())));
        g_write_budget = -1;
        EXPECT_EQ(read_text(), first) << "cut after " << budget << " bytes";
        std::memcpy(g_file, saved, sizeof g_file);
    }
    ASSERT_TRUE(write_table_file(kFile, second.c_str(), static_cast<int>(second.size())));
    ASSERT_TRUE(write_table_file(kFile, first.c_str(), static_cast<int>(first.size())));
    EXPECT_EQ(read_text(), first) << "the newest of the two copies";

    std::memset(g_file, 'x', sizeof g_file);
    char text[64];
    uint64_t generation = 0;
    EXPECT_EQ(read_table_file(kFile, text, sizeof text, &generation), TableRead::kDamaged);
    ASSERT_TRUE(write_table_file(kFile, first.c_str(), static_cast<int>(first.size())));
    EXPECT_EQ(read_text(), first) << "garbage is written over";
}

TEST(TableFile, TheNewerCopyWinsAndADamagedOneIsRefused)
{
    std::memset(g_file, 0, sizeof g_file);
    const std::string texts[] = {"appduck-holds 2\nholder 1 2\n", "appduck-holds 2\nholder 3 4\n",
                                 "appduck-holds 2\nholder 5 6\n"};
    for (const std::string& text : texts) {
        ASSERT_TRUE(write_table_file(kFile, text.c_str(), static_cast<int>(text.size())));
        EXPECT_EQ(read_text(), text) << "the newest of the copies";
    }
    // A fourth write torn in its text leaves the third; so does one torn
    // in its header.
    for (const int budget : {10, static_cast<int>(texts[0].size()) + 20}) {
        static char saved[kTableFileBytes];
        std::memcpy(saved, g_file, sizeof g_file);
        g_write_budget = budget;
        EXPECT_FALSE(write_table_file(kFile, texts[0].c_str(), static_cast<int>(texts[0].size())));
        g_write_budget = -1;
        EXPECT_EQ(read_text(), texts[2]) << "cut after " << budget << " bytes";
        std::memcpy(g_file, saved, sizeof g_file);
    }
    // The third write went over the first's copy. A byte of its text
    // changed under a header that still reads: the checksum refuses it,
    // and the second copy is read.
    char* third = std::strstr(g_file + kTableHeaderBytes, "holder 5 6");
    ASSERT_NE(third, nullptr);
    third[7] = '9';
    EXPECT_EQ(read_text(), texts[1]);
}

}  // namespace
