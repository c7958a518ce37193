// Identification strings of NDX boards: slot tokens, layout rules, additional info texts and
// every reachable rejection with its exact message.
#include <gtest/gtest.h>

#include <string>

#include "Basekit/KException.h"
#include "Tools/TAVO/KNDXIdentification.h"

namespace {

const unsigned int Serial = 7;

// T = B bits 14,11,10; S = B bits 9,7,6; connector: S bit 0 for T 3, A bit 7 for T 2. The
// tokens the identification tables below use (an empty slot, FXO, GSM, FXS, E1 modules and an
// unknown type) are decoded there.
TEST(SlotToken, DecodesToTheTableRow)
{
    const struct {
        const char* token;
        const char* slot; // "name type count variant"; nullptr: unknown type, rejected
    } cases[] = {
        {"0-7000", nullptr},            // T4
        {"0-200", "4FXO 3 4 2"},        // T0 S4: SIL
        {"0-6c0", "2GSM 1 2 1"},        // T1 S7
        {"0-440", nullptr},             // T1 S1
        {"0-e80", "60E1 6 2 1"},        // T3 S6: 60E1RJ45
        {"0-cc0", "30E1 4 1 1"},        // T3 S3: 30E1BNC
        {"0-c40", "30E1 5 1 1"},        // T3 S1: 30E1HI
        {"80-880", "30E1 4 1 1"},       // T2 S2, A bit 7: 30E1BNC
        {"0-880", "30E1 6 1 1"},        // T2 S2: 30E1RJ45
        {"80-a80", "60E1 4 2 1"},       // T2 S6, A bit 7: 60E1BNC
        {"0-800", nullptr},             // T2 S0 without connector
    };
    for (const auto& c : cases) {
        KNDXIdentification decoder;
        if (!c.slot) { // the message is the rejection table's
            EXPECT_THROW(decoder.ProcessSlotString(c.token, 0, Serial), basekit::KException) << c.token;
            continue;
        }
        KNDXSlotTypes slot = decoder.ProcessSlotString(c.token, 0, Serial);
        EXPECT_EQ(slot.Name + " " + std::to_string(slot.Type) + " " + std::to_string(slot.Count) + " " +
                      std::to_string(slot.Variant),
                  c.slot)
            << c.token;
    }
}

TEST(AdditionalInfo, IsTheNormalisedDescription)
{
    const struct {
        const char* info;
        const char* text;
    } cases[] = {
        // Modular: module names joined by '/', then " 1 0 ", line option, module count, layout.
        {"NDX_V2-Modular_X 0 0-c80 0-4ac0 0-4c00", "NDX_V2-Modular_X_30E1/8FXS 1 0 0 2 0:6:1 1:2:8"},
        // E1 board: 60 channels x 100; with a line option, x 110 and the option becomes 60.
        {"NDX_V2-E1_X 0 0-ec0 0-4c00 0-4c00", "NDX_V2-E1_X_6000 1 0 0 1 0:4:2"},
        {"NDX_V2-E1_X 5 0-ec0 0-4c00 0-4c00", "NDX_V2-E1_X_6600 1 0 60 1 0:4:2"},
        // TLQ E1 board: channels x 10, line option forced to 0.
        {"NDX_V2-E1_TLQ 7 0-ec0 0-4c00 0-4c00", "NDX_V2-E1_TLQ_600 1 0 0 1 0:4:2"},
        // FXO board: 4 ports x 2 modules x 10.
        {"NDX_V2-FXO_X 0 0-240 0-240 0-4c00", "NDX_V2-FXO_X_80 1 0 0 2 0:3:4 1:3:4"},
        // E1-HI board: 30 x 1 module x 10 (the "-E1" mismatch does not rewrite a non-FXO model).
        {"NDX_V2-E1HI_X 0 80-800 0-4c00 0-4c00", "NDX_V2-E1HI_X_300 1 0 0 1 0:5:1"},
        // No capacity family: 0.
        {"NDX_V2-GSM_X 3 0-400 0-4c00 0-4c00", "NDX_V2-GSM_X_0 1 0 3 1 0:1:2"},
        // Mixed FXO model becomes the modular CTI board.
        {"NDX_V2-X-FXO_Y 0 0-240 0-400 0-4c00", "NDX_V2-Modular_CTI_4FXO/2GSM 1 0 0 2 0:3:4 1:1:2"},
        // Mixed TLQ model becomes the modular TLQ board.
        {"NDX_V2-E1_TLQ 0 0-ec0 0-4ac0 0-4c00", "NDX_V2-Modular_TLQ_60E1/8FXS 1 0 0 2 0:4:2 1:2:8"},
        // FXO model with another module in slot 0: mismatched, also CTI.
        {"NDX_V2-FXO_X 0 0-4ac0 0-4c00 0-4c00", "NDX_V2-Modular_CTI_8FXS 1 0 0 1 0:2:8"},
        // First generation: the string itself; no '-' at all: nothing.
        {"NDX-anything at all", "NDX-anything at all"},
        {"NDX_V2 without dash", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KNDXIdentification().GetAddInfoString(Serial, c.info), c.text) << c.info;
}

TEST(Rejection, RaisesItsExactMessage)
{
    const struct {
        const char* info;
        int line;
        const char* message;
    } cases[] = {
        {"NDX_ER-FLASH", 1339, "Bootloader error: FLASH, serial (7)"},
        {"XYZ-1", 1343, "Bootloader string not supported! Serial (7). Old API version? [XYZ-1]"},
        {"NDX_V2-E1_A", 1114, "Error parsing board (7) identification! [NDX_V2-E1_A]"},
        {"NDX_V2-E1_A 0", 1146, "Error parsing board (7) identification! [NDX_V2-E1_A 0]"},
        {"NDX_V2-E1_A 0 0-ec0 0-4c00", 926,
         "Error parsing board (7) identification string for slot index [2]! [0-ec0 0-4c00]"},
        {"NDX_V2-Modular_X 0 0-ec0 x 0-4c00", 936,
         "Error parsing board (7) identification string for slot index [1] [x]! [0-ec0 x 0-4c00]"},
        {"NDX_V2-Modular_X 0 0-0 0-4c00 0-4c00", 1017,
         "Error parsing board (7) identification string for slot index [0], unknown type[0-0]! "
         "[0-0 0-4c00 0-4c00]"},
        {"NDX_V2-Modular_X 0 0-4c00 0-4ac0 0-4c00", 1231,
         "Error parsing board (7) identification, invalid slot layout! [EMPTY/8FXS/EMPTY]"},
        // "4FXO SIL" (variant 2) before "4FXO ZAR" (variant 1).
        {"NDX_V2-Modular_X 0 0-200 0-240 0-4c00", 1240,
         "Different FXO modules detected on NDX (7), must swap slots 1 and 2"},
        // Variants 1, 2, 1: (0,2) and (0,1) pass, (1,2) fails.
        {"NDX_V2-Modular_X 0 0-240 0-200 0-240", 1240,
         "Different FXO modules detected on NDX (7), must swap slots 2 and 3"},
        {"NDX_V2-E1_X 0 0-ec0 0-4ac0 0-4c00", 1258,
         "Error parsing board (7) identification, invalid slot for E1 board! [8FXS]"},
        {"NDX_V2-E1_X 0 0-c80 0-c80 0-4c00", 1263,
         "Error parsing board (7) identification, invalid slot positions for E1 board(1E1 + 2E1 or 1E1 + 1E1)!"},
        {"NDX_V2-E1HI_X 0 0-ec0 0-4c00 0-4c00", 1306,
         "Error parsing board (7) identification, invalid slot for E1-HI board! [60E1]"},
        {"NDX_V2-Modular_X 0 0-c80 0-c80 0-4c00", 1321,
         "Error parsing board (7) identification, invalid slot positions for modular board(1E1 + 2E1 or "
         "1E1 + 1E1)!"},
    };
    for (const auto& c : cases) {
        try {
            KNDXIdentification().GetAddInfoString(Serial, c.info);
            ADD_FAILURE() << "accepted " << c.info;
        } catch (const basekit::KException& e) {
            EXPECT_STREQ(e.what(), c.message);
            EXPECT_EQ(e.GetLine(), c.line) << c.info;
            EXPECT_EQ(e.GetFile(), "Tools/TAVO/KBOOTPServer");
        }
    }
}

TEST(SlotOrder, WholeBoards)
{
    // 0 empty, 1 GSM, 2 FXS, 3 FXO, 4 E1 BNC, 5 E1-HI, 6 E1 RJ45. With slot 2 empty a row is
    // the rule for two neighbouring modules.
    struct Board {
        unsigned int s0, s1, s2;
        bool valid;
    } const cases[] = {
        {3, 3, 0, true}, {1, 0, 0, true},                                     // equal, or next slot empty
        {4, 6, 0, true}, {6, 2, 0, true}, {4, 1, 0, true},  {4, 5, 0, false},  // E1 before anything but E1-HI
        {6, 5, 0, false}, {2, 3, 0, true}, {2, 1, 0, true}, {2, 4, 0, false},  // FXS before FXO or GSM
        {3, 1, 0, true}, {3, 2, 0, false}, {1, 3, 0, false}, {5, 4, 0, false}, // FXO before GSM; nothing after GSM, E1-HI
        {0, 2, 0, false}, // slot 0 empty
        {4, 6, 2, false}, // two E1 modules leave slot 2 empty
        {5, 5, 1, false}, // E1-HI counts as E1 there
        {2, 2, 2, false}, // never three FXS modules
        {4, 2, 3, true},  {2, 3, 1, true}, {3, 3, 3, true},
        {2, 0, 3, false}, // a gap
    };
    for (const Board& c : cases)
        EXPECT_EQ(KNDXIdentification::isValidNDXSlotOrder(c.s0, c.s1, c.s2), c.valid) << c.s0 << c.s1 << c.s2;
}

} // namespace
