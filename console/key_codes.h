#pragma once
// Virtual-key codes the program reads and the terminal must be able to deliver. Pure constants.

#include <cstdint>

namespace lbe::console {

using KeyCode = std::uint16_t;  // never 0 when delivered

namespace Vk {
inline constexpr KeyCode Backspace = 8;
inline constexpr KeyCode Tab = 9;
inline constexpr KeyCode Enter = 13;
inline constexpr KeyCode Shift = 16;
inline constexpr KeyCode Control = 17;
inline constexpr KeyCode Alt = 18;
inline constexpr KeyCode Escape = 27;
inline constexpr KeyCode Space = 32;
inline constexpr KeyCode PageUp = 33;
inline constexpr KeyCode PageDown = 34;
inline constexpr KeyCode End = 35;
inline constexpr KeyCode Home = 36;
inline constexpr KeyCode Left = 37;
inline constexpr KeyCode Up = 38;
inline constexpr KeyCode Right = 39;
inline constexpr KeyCode Down = 40;
inline constexpr KeyCode Insert = 45;
inline constexpr KeyCode Delete = 46;
inline constexpr KeyCode Digit0 = 48;   // through Digit0 + 9
inline constexpr KeyCode A = 65;        // letters A..Z are 65..90
inline constexpr KeyCode Numpad0 = 96;  // through Numpad0 + 9
inline constexpr KeyCode NumpadDivide = 111;
inline constexpr KeyCode F1 = 112;  // through F1 + 19 (F20)
// Printable keys that are neither letters nor digits (US layout codes).
inline constexpr KeyCode Oem1 = 186;       // ;:
inline constexpr KeyCode OemPlus = 187;    // =+
inline constexpr KeyCode OemComma = 188;   // ,<
inline constexpr KeyCode OemMinus = 189;   // -_
inline constexpr KeyCode OemPeriod = 190;  // .>
inline constexpr KeyCode Slash = 191;      // /?
inline constexpr KeyCode Oem3 = 192;       // `~
inline constexpr KeyCode Oem4 = 219;       // [{
inline constexpr KeyCode Oem5 = 220;       // \|
inline constexpr KeyCode Oem6 = 221;       // ]}
inline constexpr KeyCode Oem7 = 222;       // '"
// A typed character no key of the table stands for (a paste of non-ASCII text, say).
inline constexpr KeyCode Packet = 231;
}  // namespace Vk

// The key a typed character comes from on a US layout: letters of either case give the capital
// letter's code, the shifted digits give their digit key. Never 0.
KeyCode KeyCodeForCharacter(char32_t character);

}  // namespace lbe::console
