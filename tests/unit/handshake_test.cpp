// The receive window of the wake-up handshake and the reset sentence.
#include <gtest/gtest.h>

#include <string>

#include "handshake.h"

namespace {

// Feeds bytes and reports the index of the byte that completed the needle.
int feed(ReceiveWindow* window, const std::string& bytes, const char* needle) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (window_accept(window, bytes[i], needle)) return static_cast<int>(i);
    }
    return -1;
}

TEST(ReceiveWindow, FindsTheAcknowledgementOnItsLastByte) {
    ReceiveWindow w;
    window_clear(&w);
    EXPECT_EQ(feed(&w, "Ready ok.", "Ready ok."), 8);
}

TEST(ReceiveWindow, SkipsControlAndHighBytesBetweenCharacters) {
    ReceiveWindow w;
    window_clear(&w);
    EXPECT_EQ(feed(&w, std::string("junk\r\nRea\rdy\n \x80ok\xff."), "Ready ok."), 18);
}

TEST(ReceiveWindow, RecognisedAcrossTheWrapAfterAnyAmountOfText) {
    for (int junk = 0; junk < 70; ++junk) {
        ReceiveWindow w;
        window_clear(&w);
        const std::string text = std::string(static_cast<size_t>(junk), 'x') + "Ready ok.";
        EXPECT_EQ(feed(&w, text, "Ready ok."), junk + 8) << junk;
    }
}

TEST(ReceiveWindow, OnlyTheNewestTextCountsAndCaseMatters) {
    ReceiveWindow w;
    window_clear(&w);
    EXPECT_EQ(feed(&w, "READY OK.ready ok.Ready ok", "Ready ok."), -1);
    EXPECT_EQ(feed(&w, "!", "Ready ok."), -1);  // "ok!" is not the end
    EXPECT_EQ(feed(&w, "Ready ok.", "Ready ok."), 8);
    EXPECT_EQ(feed(&w, std::string("\x7f"), "Ready ok."), -1);  // DEL is accepted as text
}

TEST(ResetSentence, CarriesTheIdAndItsChecksum) {
    char sentence[32];
    build_reset_sentence(0, sentence, sizeof sentence);
    EXPECT_STREQ(sentence, "$PZKW,cprst,0*40\r\n");
    build_reset_sentence(12, sentence, sizeof sentence);
    EXPECT_STREQ(sentence, "$PZKW,cprst,12*73\r\n");
}

}  // namespace
