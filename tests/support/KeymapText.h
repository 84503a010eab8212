#pragma once
// Small keymaps written out for layout tests: the letter keys of a US layout
// with evdev's keycodes and nothing else, so a test controls exactly which
// keys exist and what they write.

#include <map>
#include <string>

namespace testsupport {

// Letter positions and their US letters; `overrides` replaces a key's keysym name.
inline std::string lettersOnlyKeymap(const std::map<std::string, std::string>& overrides = {}) {
    const std::map<std::string, std::pair<int, std::string>> letters = {
        {"AD01", {24, "q"}}, {"AD02", {25, "w"}}, {"AD03", {26, "e"}}, {"AD04", {27, "r"}}, {"AD05", {28, "t"}},
        {"AD06", {29, "y"}}, {"AD07", {30, "u"}}, {"AD08", {31, "i"}}, {"AD09", {32, "o"}}, {"AD10", {33, "p"}},
        {"AC01", {38, "a"}}, {"AC02", {39, "s"}}, {"AC03", {40, "d"}}, {"AC04", {41, "f"}}, {"AC05", {42, "g"}},
        {"AC06", {43, "h"}}, {"AC07", {44, "j"}}, {"AC08", {45, "k"}}, {"AC09", {46, "l"}}, {"AB01", {52, "z"}},
        {"AB02", {53, "x"}}, {"AB03", {54, "c"}}, {"AB04", {55, "v"}}, {"AB05", {56, "b"}}, {"AB06", {57, "n"}},
        {"AB07", {58, "m"}},
    };
    std::string keycodes, symbols;
    auto add = [&](const std::string& name, int code, const std::string& sym) {
        keycodes += "    <" + name + "> = " + std::to_string(code) + ";\n";
        symbols += "    key <" + name + "> { [ " + sym + " ] };\n";
    };
    for (const auto& [name, entry] : letters) {
        auto o = overrides.find(name);
        add(name, entry.first, o == overrides.end() ? entry.second : o->second);
    }
    return "xkb_keymap {\n  xkb_keycodes \"t\" {\n    minimum = 8;\n    maximum = 255;\n" + keycodes +
           "  };\n  xkb_types \"t\" { include \"basic\" };\n  xkb_compat \"t\" { };\n  xkb_symbols \"t\" {\n" +
           symbols + "  };\n};\n";
}

}  // namespace testsupport
