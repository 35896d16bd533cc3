// The brightness ramp every sample is written with: the renderer writes its
// characters and the sample mappers build their tables from it, so it stands
// apart from both.
#pragma once

// Read with the index 255 − sample: white is a blank, black is "@". Entries
// 256 to 280 are never reached.
inline constexpr char CharacterRamp[281 + 1] =
    "         ````````````......----''''''',,,,,,,,::"
    "::::::========!!!!!!!!!++++++++iiiiii??????[(((("
    "((((7777****{{{{2222JJJJ3333uuuu5555nnnn%%%%%yyy"
    "y666666$$$$$$&&&&00008888AAAAAGGGGUUUUKKKK####QQ"
    "QQQQmmmmmmHHHHHHHHHHHHHHHWWWWWWWWWWWWWWNNNNNNNN@"
    "@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@";
