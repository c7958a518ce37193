#include "Tools/TAVO/KNDXIdentification.h"

#include <cstdlib>

#include "Basekit/KException.h"

namespace {

// Rejections keep the fixed location codes (file text and number) under which operators'
// tools have always known them, wherever the decoding code lives.
const char* const Where = "Tools/TAVO/KBOOTPServer";

bool Contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

bool IsE1(unsigned int type)
{
    return type >= KNDXSlotTypes::stE1BNC && type <= KNDXSlotTypes::stE1RJ45;
}

// The modules of a board that takes one kind only; any other module is rejected.
unsigned long CountOf(unsigned int serial, const KNDXIdentification::Board& board, unsigned int type, int line,
                      const char* family)
{
    unsigned long count = 0;
    for (const KNDXSlotTypes& slot : board.Slot) {
        if (slot.Type == KNDXSlotTypes::stEmpty)
            continue;
        if (slot.Type != type)
            throw basekit::KException(Where, line, "Error parsing board (%d) identification, invalid slot for %s board! [%s]",
                                      serial, family, slot.Name.c_str());
        ++count;
    }
    return count;
}

unsigned int Bit(unsigned long value, int bit)
{
    return static_cast<unsigned int>((value >> bit) & 1u);
}

} // namespace

KNDXIdentification::KNDXIdentification()
{
    struct Row {
        const char* key;
        const char* name;
        unsigned int type, count, variant;
    };
    const Row rows[] = {
        {"EMPTY", "EMPTY", KNDXSlotTypes::stEmpty, 0, 1},
        {"2GSM", "2GSM", KNDXSlotTypes::stGSM, 2, 1},
        {"8FXS", "8FXS", KNDXSlotTypes::stFXS, 8, 1},
        {"4FXO ZAR", "4FXO", KNDXSlotTypes::stFXO, 4, 1},
        {"4FXO SIL", "4FXO", KNDXSlotTypes::stFXO, 4, 2},
        {"30E1BNC", "30E1", KNDXSlotTypes::stE1BNC, 1, 1},
        {"60E1BNC", "60E1", KNDXSlotTypes::stE1BNC, 2, 1},
        {"30E1HI", "30E1", KNDXSlotTypes::stE1HI, 1, 1},
        {"30E1RJ45", "30E1", KNDXSlotTypes::stE1RJ45, 1, 1},
        {"60E1RJ45", "60E1", KNDXSlotTypes::stE1RJ45, 2, 1},
    };
    for (const Row& row : rows) {
        KNDXSlotTypes slot;
        slot.Name = row.name;
        slot.Type = row.type;
        slot.Count = row.count;
        slot.Variant = row.variant;
        Table[row.key] = slot;
    }
}

bool KNDXIdentification::isValidNDXSlotOrder(unsigned int first, unsigned int second)
{
    if (first == second || second == KNDXSlotTypes::stEmpty)
        return true;
    switch (first) {
    case KNDXSlotTypes::stE1BNC:
    case KNDXSlotTypes::stE1RJ45:
        return second != KNDXSlotTypes::stE1HI;
    case KNDXSlotTypes::stFXS:
        return second == KNDXSlotTypes::stFXO || second == KNDXSlotTypes::stGSM;
    case KNDXSlotTypes::stFXO:
        return second == KNDXSlotTypes::stGSM;
    default: // nothing may follow an empty slot, GSM or E1-HI except its own kind
        return false;
    }
}

bool KNDXIdentification::isValidNDXSlotOrder(unsigned int slot0, unsigned int slot1, unsigned int slot2)
{
    if (slot0 == KNDXSlotTypes::stEmpty)
        return false;
    // Two E1 modules take the room of the third slot.
    if (IsE1(slot0) && IsE1(slot1) && slot2 != KNDXSlotTypes::stEmpty)
        return false;
    if (slot0 == KNDXSlotTypes::stFXS && slot1 == KNDXSlotTypes::stFXS && slot2 == KNDXSlotTypes::stFXS)
        return false;
    return isValidNDXSlotOrder(slot0, slot1) && isValidNDXSlotOrder(slot1, slot2);
}

KNDXSlotTypes KNDXIdentification::ProcessSlotString(const std::string& slots, unsigned int index,
                                                    unsigned int serial) const
{
    size_t start = 0;
    for (unsigned int i = 0; i < index; ++i) {
        size_t space = slots.find(' ', start);
        if (space == std::string::npos)
            throw basekit::KException(Where, 926,
                                      "Error parsing board (%d) identification string for slot index [%i]! [%s]",
                                      serial, index, slots.c_str());
        start = space + 1;
    }
    size_t end = slots.find(' ', start);
    std::string token = slots.substr(start, end == std::string::npos ? std::string::npos : end - start);

    size_t dash = token.find('-');
    if (dash == std::string::npos)
        throw basekit::KException(Where, 936,
                                  "Error parsing board (%d) identification string for slot index [%i] [%s]! [%s]",
                                  serial, index, token.c_str(), slots.c_str());
    unsigned long a = std::strtoul(token.substr(0, dash).c_str(), nullptr, 16);
    unsigned long b = std::strtoul(token.substr(dash + 1).c_str(), nullptr, 16);

    // The hardware code packs a type field and a sub-type field into scattered bits of B;
    // A only carries the connector bit of one E1 family.
    unsigned int type = Bit(b, 14) * 4 + Bit(b, 11) * 2 + Bit(b, 10);
    unsigned int sub = Bit(b, 9) * 4 + Bit(b, 7) * 2 + Bit(b, 6);

    const char* key = nullptr;
    std::string composed;
    switch (type) {
    case 0:
        if ((sub & 5) == 5)
            key = "4FXO ZAR";
        else if ((sub & 5) == 4)
            key = "4FXO SIL";
        break;
    case 1:
        if (sub == 0 || sub == 2 || sub == 4 || sub == 7)
            key = "2GSM";
        break;
    case 2:
    case 3: {
        bool connector = type == 3 ? (sub & 1) != 0 : Bit(a, 7) != 0;
        if (sub & 2) {
            composed = std::string((sub & 4) ? "60E1" : "30E1") + (connector ? "BNC" : "RJ45");
            key = composed.c_str();
        } else if (connector) {
            key = "30E1HI";
        }
        break;
    }
    case 6:
        if (sub == 7)
            key = "8FXS";
        break;
    case 7:
        key = "EMPTY";
        break;
    default:
        break;
    }
    auto row = key ? Table.find(key) : Table.end();
    if (row == Table.end())
        throw basekit::KException(
            Where, 1017, "Error parsing board (%d) identification string for slot index [%i], unknown type[%s]! [%s]",
            serial, index, token.c_str(), slots.c_str());
    return row->second;
}

kstring KNDXIdentification::GetAddInfoString(unsigned int serial, const std::string& info) const
{
    Tokens tokens;
    kstring passThrough;
    if (!Tokenize(serial, info, tokens, passThrough))
        return passThrough;
    const Board board = Model(serial, tokens);
    return Format(board, Layout(serial, board));
}

bool KNDXIdentification::Tokenize(unsigned int serial, const std::string& info, Tokens& tokens, kstring& passThrough)
{
    passThrough.clear();
    size_t dash = info.find('-');
    if (dash == std::string::npos)
        return false;
    const std::string prefix = info.substr(0, dash);
    if (prefix == "NDX") {
        passThrough = info; // first-generation boards describe themselves in free text
        return false;
    }
    if (prefix == "NDX_ER") {
        size_t error = info.find("ER-");
        if (error == std::string::npos)
            throw basekit::KException(Where, 1336, "Bootloader error: %s, serial (%d)", info.c_str(), serial);
        throw basekit::KException(Where, 1339, "Bootloader error: %s, serial (%d)", info.substr(error + 3).c_str(),
                                  serial);
    }
    if (prefix != "NDX_V2")
        throw basekit::KException(Where, 1343, "Bootloader string not supported! Serial (%d). Old API version? [%s]",
                                  serial, info.c_str());

    size_t modelEnd = info.find(' ');
    if (modelEnd == std::string::npos)
        throw basekit::KException(Where, 1114, "Error parsing board (%d) identification! [%s]", serial, info.c_str());
    size_t optionEnd = info.find(' ', modelEnd + 1);
    if (optionEnd == std::string::npos)
        throw basekit::KException(Where, 1146, "Error parsing board (%d) identification! [%s]", serial, info.c_str());
    tokens.Model = info.substr(0, modelEnd);
    tokens.LineOption = std::strtol(info.substr(modelEnd + 1, optionEnd - modelEnd - 1).c_str(), nullptr, 10);
    tokens.Slots = info.substr(optionEnd + 1);
    return true;
}

KNDXIdentification::Board KNDXIdentification::Model(unsigned int serial, const Tokens& tokens) const
{
    Board board;
    board.Model = tokens.Model;
    board.LineOption = tokens.LineOption;
    board.Modular = Contains(board.Model, "Modular_");
    for (unsigned int i = 0; i < 3; ++i)
        board.Slot[i] = ProcessSlotString(tokens.Slots, i, serial);
    if (board.Modular)
        return board;

    const KNDXSlotTypes* slot = board.Slot;
    bool mixed = false;
    for (int i = 1; i < 3; ++i)
        if (slot[i].Type != KNDXSlotTypes::stEmpty && slot[i].Type != slot[i - 1].Type)
            mixed = true;
    const unsigned int first = slot[0].Type;
    const std::string& model = board.Model;
    bool mismatched = (Contains(model, "-E1") && first != KNDXSlotTypes::stE1BNC && first != KNDXSlotTypes::stE1RJ45) ||
                      (Contains(model, "-FXS") && first != KNDXSlotTypes::stFXS) ||
                      (Contains(model, "-FXO") && first != KNDXSlotTypes::stFXO) ||
                      (Contains(model, "-GSM") && first != KNDXSlotTypes::stGSM);
    // A board whose modules do not match its model name is described as the modular board
    // it effectively is, so the slot rules of modular boards apply to it.
    if (mixed || mismatched) {
        if (Contains(model, "_TLQ")) {
            board.Model = "NDX_V2-Modular_TLQ";
            board.Modular = true;
        } else if (Contains(model, "-FXO")) {
            board.Model = "NDX_V2-Modular_CTI";
            board.Modular = true;
        }
    }
    return board;
}

KNDXIdentification::Rating KNDXIdentification::Layout(unsigned int serial, const Board& board)
{
    const KNDXSlotTypes* slot = board.Slot;
    const std::string& model = board.Model;
    Rating rating;
    rating.LineOption = board.LineOption;

    if (!isValidNDXSlotOrder(slot[0].Type, slot[1].Type, slot[2].Type))
        throw basekit::KException(Where, 1231, "Error parsing board (%d) identification, invalid slot layout! [%s/%s/%s]",
                                  serial, slot[0].Name.c_str(), slot[1].Name.c_str(), slot[2].Name.c_str());

    // A "4FXO SIL" module may not sit before a "4FXO ZAR" module.
    const unsigned int pairs[3][2] = {{0, 2}, {0, 1}, {1, 2}};
    for (const auto& pair : pairs) {
        const KNDXSlotTypes& earlier = slot[pair[0]];
        const KNDXSlotTypes& later = slot[pair[1]];
        if (earlier.Type == KNDXSlotTypes::stFXO && later.Type == KNDXSlotTypes::stFXO &&
            later.Variant < earlier.Variant)
            throw basekit::KException(Where, 1240, "Different FXO modules detected on NDX (%d), must swap slots %d and %d",
                                      serial, pair[0] + 1, pair[1] + 1);
    }

    if (board.Modular) {
        if (IsE1(slot[0].Type) && IsE1(slot[1].Type)) {
            if (slot[0].Count != 2)
                throw basekit::KException(
                    Where, 1321,
                    "Error parsing board (%d) identification, invalid slot positions for modular board(1E1 + 2E1 or 1E1 + 1E1)!",
                    serial);
            for (int i = 0; i < 3; ++i)
                if (slot[i].Type == KNDXSlotTypes::stE1HI)
                    throw basekit::KException(
                        Where, 1323, "Error parsing board (%d) identification, invalid slot for modular board(E1-HI)!",
                        serial);
        }
        return rating;
    }

    if (Contains(model, "-E1_")) {
        unsigned long links = 0;
        for (int i = 0; i < 3; ++i) {
            if (slot[i].Type == KNDXSlotTypes::stEmpty)
                continue;
            if (slot[i].Type != KNDXSlotTypes::stE1BNC && slot[i].Type != KNDXSlotTypes::stE1RJ45)
                throw basekit::KException(Where, 1258,
                                          "Error parsing board (%d) identification, invalid slot for E1 board! [%s]",
                                          serial, slot[i].Name.c_str());
            links += slot[i].Count;
        }
        const unsigned long channels = 30 * links;
        if (slot[0].Count != 2 && slot[1].Count != 0)
            throw basekit::KException(
                Where, 1263,
                "Error parsing board (%d) identification, invalid slot positions for E1 board(1E1 + 2E1 or 1E1 + 1E1)!",
                serial);
        if (Contains(model, "_TLQ")) {
            rating.Capacity = channels * 10;
            rating.LineOption = 0;
        } else if (rating.LineOption != 0) {
            rating.Capacity = channels * 110;
            rating.LineOption = static_cast<long>(channels);
        } else {
            rating.Capacity = channels * 100;
        }
    } else if (Contains(model, "-FXO_")) {
        rating.Capacity = 4 * CountOf(serial, board, KNDXSlotTypes::stFXO, 1291, "FXO") * 10;
    } else if (Contains(model, "-E1HI_")) {
        rating.Capacity = 30 * CountOf(serial, board, KNDXSlotTypes::stE1HI, 1306, "E1-HI") * 10;
    }
    return rating;
}

kstring KNDXIdentification::Format(const Board& board, const Rating& rating)
{
    kstring text = board.Model + "_";
    kstring layout;
    unsigned int modules = 0;
    for (unsigned int i = 0; i < 3; ++i) {
        const KNDXSlotTypes& slot = board.Slot[i];
        if (slot.Type == KNDXSlotTypes::stEmpty)
            continue;
        if (i != 0) {
            if (board.Modular)
                text += "/";
            layout += " ";
        }
        if (board.Modular)
            text += slot.Name;
        ++modules;
        layout.AppendFormat("%u:%u:%u", i, slot.Type, slot.Count);
    }
    if (!board.Modular)
        text.AppendFormat("%lu", rating.Capacity);
    text.AppendFormat(" 1 0 %ld %u %s", rating.LineOption, modules, layout.c_str());
    return text;
}
