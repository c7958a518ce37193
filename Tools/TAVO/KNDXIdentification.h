#pragma once
// Decoding of the identification string an NDX board puts in its BOOTP request: the model,
// the module in each of its three slots, the slot layout rules of the hardware, and the one-line
// "additional info" description of the board. Pure computation on the slot module table, in
// four steps (tokenize -> model -> layout -> format); every rejection is a basekit::KException.
#include <map>
#include <string>

#include "Basekit/kstring.h"

// One slot module kind (a row of the slot module table).
struct KNDXSlotTypes {
    enum Codes { stEmpty = 0, stGSM = 1, stFXS = 2, stFXO = 3, stE1BNC = 4, stE1HI = 5, stE1RJ45 = 6 };

    std::string Name;      // short name shown in the additional info text
    unsigned int Type = stEmpty;
    unsigned int Count = 0;   // E1 links, or ports/channels
    unsigned int Variant = 0; // only the two FXO variants differ (1 and 2)
};

class KNDXIdentification {
public:
    // Fills the slot module table.
    KNDXIdentification();

    // The additional info text of the board; throws basekit::KException on any rejection.
    kstring GetAddInfoString(unsigned int serial, const std::string& info) const;

    // A second-generation string cut into its fields: "NDX_V2-<model> <line option> <slots>".
    struct Tokens {
        std::string Model;
        long LineOption = 0;
        std::string Slots; // the slot tokens, space-separated
    };
    // A board: its (normalised) model and the module in each slot.
    struct Board {
        std::string Model;
        bool Modular = false;
        KNDXSlotTypes Slot[3];
        long LineOption = 0;
    };
    // What the layout rules leave: the capacity figure (boards that are not modular) and the
    // line option as it is reported.
    struct Rating {
        unsigned long Capacity = 0;
        long LineOption = 0;
    };

    // Step 1. False when the string is not a second-generation one: then passThrough is the
    // whole text (first generation) or empty (no '-'). Throws for bootloader errors, unknown
    // prefixes and missing fields.
    static bool Tokenize(unsigned int serial, const std::string& info, Tokens& tokens, kstring& passThrough);
    // Step 2: decodes the slots and describes a board whose modules do not match its model
    // name as the modular board it effectively is.
    Board Model(unsigned int serial, const Tokens& tokens) const;
    // Step 3: the slot layout rules of the hardware and of the model family.
    static Rating Layout(unsigned int serial, const Board& board);
    // Step 4: the one-line text.
    static kstring Format(const Board& board, const Rating& rating);

    // Decodes slot token index of slots (the text after the line option).
    KNDXSlotTypes ProcessSlotString(const std::string& slots, unsigned int index, unsigned int serial) const;

    // The layout rules on slot type codes: a module and the module in the next slot, and a whole board.
    static bool isValidNDXSlotOrder(unsigned int first, unsigned int second);
    static bool isValidNDXSlotOrder(unsigned int slot0, unsigned int slot1, unsigned int slot2);

    const std::map<std::string, KNDXSlotTypes>& SlotTypes() const { return Table; }

private:
    std::map<std::string, KNDXSlotTypes> Table;
};
