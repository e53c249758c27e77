#pragma once

#include <string_view>

namespace jolto {

// SDL's game-controller mapping for the virtual gamepad ("JOLTO Controller N").
//
// The kernel maps the descriptor's HID buttons 1 to 16 in order onto BTN_SOUTH, BTN_EAST, BTN_C,
// BTN_NORTH, ... so SDL's automatic mapping would call the west face button "b" and the shoulder
// buttons triggers. SDL numbers the evdev buttons in code order (b0 = HID button 1) and the axes
// in code order too: a0 X, a1 Y, a2 Z, a3 Rx (left trigger), a4 Ry (right trigger), a5 Rz.
// The triggers are bound twice, to their digital button and to their analogue axis, so games
// see them whichever the phone reports.
//
// GUID, 16-bit little-endian fields as SDL builds them for a Linux evdev device: bus 0x0006
// (virtual), name CRC 0 (so it matches every player number), vendor 0x1209, 0, product 0x0001, 0,
// version 0, 0.
inline constexpr std::string_view sdlGameControllerMapping =
    "06000000091200000100000000000000,JOLTO Controller,"
    "a:b0,b:b1,x:b2,y:b3,leftshoulder:b4,rightshoulder:b5,lefttrigger:b6,righttrigger:b7,"
    "back:b8,start:b9,leftstick:b10,rightstick:b11,guide:b12,misc1:b13,touchpad:b14,"
    "leftx:a0,lefty:a1,rightx:a2,righty:a5,lefttrigger:a3,righttrigger:a4,"
    "dpup:h0.1,dpright:h0.2,dpdown:h0.4,dpleft:h0.8,platform:Linux,";

} // namespace jolto
