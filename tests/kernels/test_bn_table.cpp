// The instance table against the published tables of the batch-normalisation
// kernels, which overlap: the 49 bn_relu kernels of sources 0 and 1; the ids
// by rule, task numbers and source lists of 122 kernels of sources 1 to 5; the
// member tables of 75 kernels. They are kept here as published, checked
// against each other where they overlap, against the rules of the network's
// geometry, and against the rows of dfp_instances.def. The exported names are
// built from these tables, not from the instance table, and looked up in the
// built library.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "dfp_bn.h"

namespace {

struct Units01Row {
  int call;
  const char* id;
  const char* role;  // prefix, bottleneck or final
  int block, layer, rows, C, Xs, k, step;
  const char* t1;
  const char* t2;
  int part;
};
struct MemberRow {
  const char* id;
  const char* role;  // prefix, bottleneck or transition
  int block, layer, C, Xs, R, k, step;  // block 0: not given
  const char* t1;
  const char* t2;
};

// The 49 rows of the first table: call, id, role, block, layer, rows, C, Xs, k, step, invstd task, apply task, part.
const Units01Row kUnits01Rows[] = {
    {18, "8534", "prefix", 1, 2, 2048, 128, 256, 25, 16, "DE8B", "DED7", 1},
    {21, "8532", "bottleneck", 1, 2, 2048, 128, 128, 30, 16, "DE2F", "DE73", 0},
    {39, "8522", "prefix", 1, 5, 2048, 224, 256, 55, 16, "DBD9", "DC25", 0},
    {71, "84EA", "prefix", 2, 3, 512, 224, 512, 100, 16, "D78D", "D7D9", 1},
    {74, "84E8", "bottleneck", 2, 3, 512, 128, 128, 105, 16, "D731", "D775", 0},
    {92, "84D8", "prefix", 2, 6, 512, 320, 512, 130, 16, "D4DB", "D527", 0},
    {109, "84CA", "bottleneck", 2, 8, 512, 128, 128, 155, 16, "D2B3", "D2F7", 1},
    {127, "84BA", "prefix", 2, 11, 512, 480, 512, 180, 24, "D05D", "D0A9", 1},
    {130, "84B8", "bottleneck", 2, 11, 512, 128, 128, 185, 16, "D001", "D045", 0},
    {145, "8407", "prefix", 3, 1, 128, 288, 1792, 205, 24, "CDDD", "CE29", 0},
    {162, "83F9", "bottleneck", 3, 3, 128, 128, 128, 230, 16, "CBB5", "CBF9", 1},
    {180, "83E9", "prefix", 3, 6, 128, 448, 1792, 255, 16, "C95F", "C9AB", 1},
    {183, "83E7", "bottleneck", 3, 6, 128, 128, 128, 260, 16, "C903", "C947", 0},
    {201, "83D7", "prefix", 3, 9, 128, 544, 1792, 285, 16, "C6AD", "C6F9", 0},
    {218, "83C9", "bottleneck", 3, 11, 128, 128, 128, 310, 16, "C485", "C4C9", 1},
    {236, "83B9", "prefix", 3, 14, 128, 704, 1792, 335, 16, "C22F", "C27B", 1},
    {239, "83B7", "bottleneck", 3, 14, 128, 128, 128, 340, 16, "C1D3", "C217", 0},
    {257, "83A7", "prefix", 3, 17, 128, 800, 1792, 365, 16, "BF7D", "BFC9", 0},
    {274, "8399", "bottleneck", 3, 19, 128, 128, 128, 390, 16, "BD55", "BD99", 1},
    {292, "8389", "prefix", 3, 22, 128, 960, 1792, 415, 24, "BAFF", "BB4B", 1},
    {295, "8387", "bottleneck", 3, 22, 128, 128, 128, 420, 16, "BAA3", "BAE7", 0},
    {313, "8377", "prefix", 3, 25, 128, 1056, 1792, 445, 24, "B84D", "B899", 0},
    {330, "8369", "bottleneck", 3, 27, 128, 128, 128, 470, 16, "B625", "B669", 1},
    {348, "8359", "prefix", 3, 30, 128, 1216, 1792, 495, 16, "B3CF", "B41B", 1},
    {351, "8357", "bottleneck", 3, 30, 128, 128, 128, 500, 16, "B373", "B3B7", 0},
    {369, "8347", "prefix", 3, 33, 128, 1312, 1792, 525, 16, "B11D", "B169", 0},
    {386, "8339", "bottleneck", 3, 35, 128, 128, 128, 550, 16, "AEF5", "AF39", 1},
    {404, "8329", "prefix", 3, 38, 128, 1472, 1792, 575, 16, "AC9F", "ACEB", 1},
    {407, "8327", "bottleneck", 3, 38, 128, 128, 128, 580, 16, "AC43", "AC87", 0},
    {425, "8317", "prefix", 3, 41, 128, 1568, 1792, 605, 16, "A9ED", "AA39", 0},
    {442, "8309", "bottleneck", 3, 43, 128, 128, 128, 630, 16, "A7C5", "A809", 1},
    {460, "82F9", "prefix", 3, 46, 128, 1728, 1792, 655, 24, "A56F", "A5BB", 1},
    {463, "82F7", "bottleneck", 3, 46, 128, 128, 128, 660, 16, "A513", "A557", 0},
    {481, "82E8", "bottleneck", 4, 0, 32, 128, 128, 685, 16, "A2D9", "A31B", 1},
    {499, "82D7", "prefix", 4, 3, 32, 992, 1920, 710, 16, "A08B", "A0D5", 0},
    {516, "82C9", "bottleneck", 4, 5, 32, 128, 128, 735, 16, "9E7F", "9EC1", 1},
    {534, "82B9", "prefix", 4, 8, 32, 1152, 1920, 760, 24, "9C49", "9C93", 1},
    {537, "82B7", "bottleneck", 4, 8, 32, 128, 128, 765, 16, "9BF1", "9C33", 0},
    {555, "82A7", "prefix", 4, 11, 32, 1248, 1920, 790, 24, "99BB", "9A05", 0},
    {572, "8299", "bottleneck", 4, 13, 32, 128, 128, 815, 16, "97AF", "97F1", 1},
    {590, "8289", "prefix", 4, 16, 32, 1408, 1920, 840, 16, "9579", "95C3", 1},
    {593, "8287", "bottleneck", 4, 16, 32, 128, 128, 845, 16, "9521", "9563", 0},
    {611, "8277", "prefix", 4, 19, 32, 1504, 1920, 870, 16, "92EB", "9335", 0},
    {628, "8269", "bottleneck", 4, 21, 32, 128, 128, 895, 16, "90DF", "9121", 1},
    {646, "8259", "prefix", 4, 24, 32, 1664, 1920, 920, 16, "8EA9", "8EF3", 1},
    {649, "8257", "bottleneck", 4, 24, 32, 128, 128, 925, 16, "8E51", "8E93", 0},
    {667, "8247", "prefix", 4, 27, 32, 1760, 1920, 950, 16, "8C1B", "8C65", 0},
    {684, "8239", "bottleneck", 4, 29, 32, 128, 128, 975, 16, "8A0F", "8A51", 1},
    {702, "8229", "final", 0, -1, 32, 1920, 1920, 1000, 24, "87E3", "8825", 1},
};
const MemberRow kPlainMembers[] = {  // id, role, layer, C, R, k, tasks
    {"853F", "bottleneck", 0, 0, 128, 128, 2048, 10, 16, "E017", "E05B"},
    {"852C", "bottleneck", 0, 3, 128, 128, 2048, 40, 16, "DD49", "DD8D"},
    {"8520", "bottleneck", 0, 5, 128, 128, 2048, 60, 16, "DB7D", "DBC1"},
    {"851C", "transition", 0, -1, 256, 256, 2048, 65, 16, "DAFD", "DB41"},
    {"84F4", "bottleneck", 0, 1, 128, 128, 512, 85, 16, "D8FD", "D941"},
    {"84E2", "bottleneck", 0, 4, 128, 128, 512, 115, 16, "D64B", "D68F"},
    {"84D6", "bottleneck", 0, 6, 128, 128, 512, 135, 16, "D47F", "D4C3"},
    {"84C4", "bottleneck", 0, 9, 128, 128, 512, 165, 16, "D1CD", "D211"},
    {"84B4", "transition", 0, -1, 512, 512, 512, 190, 16, "CF81", "CFC5"},
    {"8405", "bottleneck", 0, 1, 128, 128, 128, 210, 16, "CD81", "CDC5"},
    {"83F3", "bottleneck", 0, 4, 128, 128, 128, 240, 16, "CACF", "CB13"},
    {"83E1", "bottleneck", 0, 7, 128, 128, 128, 270, 16, "C81D", "C861"},
    {"83D5", "bottleneck", 0, 9, 128, 128, 128, 290, 16, "C651", "C695"},
    {"83C3", "bottleneck", 0, 12, 128, 128, 128, 320, 16, "C39F", "C3E3"},
    {"83B1", "bottleneck", 0, 15, 128, 128, 128, 350, 16, "C0ED", "C131"},
    {"83A5", "bottleneck", 0, 17, 128, 128, 128, 370, 16, "BF21", "BF65"},
    {"8393", "bottleneck", 0, 20, 128, 128, 128, 400, 16, "BC6F", "BCB3"},
    {"8381", "bottleneck", 0, 23, 128, 128, 128, 430, 16, "B9BD", "BA01"},
    {"8375", "bottleneck", 0, 25, 128, 128, 128, 450, 16, "B7F1", "B835"},
    {"8363", "bottleneck", 0, 28, 128, 128, 128, 480, 16, "B53F", "B583"},
    {"8351", "bottleneck", 0, 31, 128, 128, 128, 510, 16, "B28D", "B2D1"},
    {"8345", "bottleneck", 0, 33, 128, 128, 128, 530, 16, "B0C1", "B105"},
    {"8333", "bottleneck", 0, 36, 128, 128, 128, 560, 16, "AE0F", "AE53"},
    {"8321", "bottleneck", 0, 39, 128, 128, 128, 590, 16, "AB5D", "ABA1"},
    {"8315", "bottleneck", 0, 41, 128, 128, 128, 610, 16, "A991", "A9D5"},
    {"8303", "bottleneck", 0, 44, 128, 128, 128, 640, 16, "A6DF", "A723"},
    {"82F1", "bottleneck", 0, 47, 128, 128, 128, 670, 16, "A42D", "A471"},
    {"82E1", "bottleneck", 0, 1, 128, 128, 32, 695, 16, "A1E7", "A229"},
    {"82D5", "bottleneck", 0, 3, 128, 128, 32, 715, 16, "A033", "A075"},
    {"82C3", "bottleneck", 0, 6, 128, 128, 32, 745, 16, "9DA5", "9DE7"},
    {"82B1", "bottleneck", 0, 9, 128, 128, 32, 775, 16, "9B17", "9B59"},
    {"82A5", "bottleneck", 0, 11, 128, 128, 32, 795, 16, "9963", "99A5"},
    {"8293", "bottleneck", 0, 14, 128, 128, 32, 825, 16, "96D5", "9717"},
    {"8281", "bottleneck", 0, 17, 128, 128, 32, 855, 16, "9447", "9489"},
    {"8275", "bottleneck", 0, 19, 128, 128, 32, 875, 16, "9293", "92D5"},
    {"8263", "bottleneck", 0, 22, 128, 128, 32, 905, 16, "9005", "9047"},
    {"8251", "bottleneck", 0, 25, 128, 128, 32, 935, 16, "8D77", "8DB9"},
    {"8245", "bottleneck", 0, 27, 128, 128, 32, 955, 16, "8BC3", "8C05"},
    {"8233", "bottleneck", 0, 30, 128, 128, 32, 985, 16, "8935", "8977"},
};
const MemberRow kPrefixMembers[] = {  // id, role, block, layer, C, W, R, k, step, tasks
    {"852E", "prefix", 1, 3, 160, 256, 2048, 35, 16, "DDA5", "DDF1"},
    {"84F6", "prefix", 2, 1, 160, 512, 512, 80, 16, "D959", "D9A5"},
    {"84E4", "prefix", 2, 4, 256, 512, 512, 110, 16, "D6A7", "D6F3"},
    {"84D2", "prefix", 2, 7, 352, 512, 512, 140, 16, "D3F5", "D441"},
    {"84C6", "prefix", 2, 9, 416, 512, 512, 160, 16, "D229", "D275"},
    {"8401", "prefix", 3, 2, 320, 1792, 128, 215, 16, "CCF7", "CD43"},
    {"83F5", "prefix", 3, 4, 384, 1792, 128, 235, 24, "CB2B", "CB77"},
    {"83E3", "prefix", 3, 7, 480, 1792, 128, 265, 24, "C879", "C8C5"},
    {"83D1", "prefix", 3, 10, 576, 1792, 128, 295, 24, "C5C7", "C613"},
    {"83C5", "prefix", 3, 12, 640, 1792, 128, 315, 16, "C3FB", "C447"},
    {"83B3", "prefix", 3, 15, 736, 1792, 128, 345, 16, "C149", "C195"},
    {"83A1", "prefix", 3, 18, 832, 1792, 128, 375, 16, "BE97", "BEE3"},
    {"8395", "prefix", 3, 20, 896, 1792, 128, 395, 16, "BCCB", "BD17"},
    {"8383", "prefix", 3, 23, 992, 1792, 128, 425, 16, "BA19", "BA65"},
    {"8371", "prefix", 3, 26, 1088, 1792, 128, 455, 16, "B767", "B7B3"},
    {"8365", "prefix", 3, 28, 1152, 1792, 128, 475, 24, "B59B", "B5E7"},
    {"8353", "prefix", 3, 31, 1248, 1792, 128, 505, 24, "B2E9", "B335"},
    {"8341", "prefix", 3, 34, 1344, 1792, 128, 535, 24, "B037", "B083"},
    {"8335", "prefix", 3, 36, 1408, 1792, 128, 555, 16, "AE6B", "AEB7"},
    {"8323", "prefix", 3, 39, 1504, 1792, 128, 585, 16, "ABB9", "AC05"},
    {"8311", "prefix", 3, 42, 1600, 1792, 128, 615, 16, "A907", "A953"},
    {"8305", "prefix", 3, 44, 1664, 1792, 128, 635, 16, "A73B", "A787"},
    {"82F3", "prefix", 3, 47, 1760, 1792, 128, 665, 16, "A489", "A4D5"},
    {"82E3", "prefix", 4, 1, 928, 1920, 32, 690, 16, "A23F", "A289"},
    {"82D1", "prefix", 4, 4, 1024, 1920, 32, 720, 16, "9FB1", "9FFB"},
    {"82C5", "prefix", 4, 6, 1088, 1920, 32, 740, 16, "9DFD", "9E47"},
    {"82B3", "prefix", 4, 9, 1184, 1920, 32, 770, 16, "9B6F", "9BB9"},
    {"82A1", "prefix", 4, 12, 1280, 1920, 32, 800, 16, "98E1", "992B"},
    {"8295", "prefix", 4, 14, 1344, 1920, 32, 820, 24, "972D", "9777"},
    {"8283", "prefix", 4, 17, 1440, 1920, 32, 850, 24, "949F", "94E9"},
    {"8271", "prefix", 4, 20, 1536, 1920, 32, 880, 24, "9211", "925B"},
    {"8265", "prefix", 4, 22, 1600, 1920, 32, 900, 16, "905D", "90A7"},
    {"8253", "prefix", 4, 25, 1696, 1920, 32, 930, 16, "8DCF", "8E19"},
    {"8241", "prefix", 4, 28, 1792, 1920, 32, 960, 16, "8B41", "8B8B"},
    {"8235", "prefix", 4, 30, 1856, 1920, 32, 980, 16, "898D", "89D7"},
};
const char* const kIdsByRulePrefix =
    "Prefix kernels (57)."
    " Block 1: 1 853A, 2 8534, 4 8528."
    " Block 2: 2 84F0, 3 84EA, 5 84DE, 7 84D2, 8 84CC, 10 84C0, 11 84BA."
    " Block 3: 2 8401, 3 83FB, 5 83EF, 6 83E9, 8 83DD, 10 83D1, 11 83CB, 13 83BF, 14 83B9, 16 83AD, 18 83A1, 19 839B, 21 838F, 22 8389, 24 837D, 26 8371, 27 836B, 29 835F, 30 8359, 32 834D, 34 8341, 35 833B, 37 832F, 38 8329, 40 831D, 42 8311, 43 830B, 45 82FF, 46 82F9."
    " Block 4: 2 82DD, 4 82D1, 5 82CB, 7 82BF, 8 82B9, 10 82AD, 12 82A1, 13 829B, 15 828F, 16 8289, 18 827D, 20 8271, 21 826B, 23 825F, 26 824D, 28 8241, 29 823B, 31 822F.";
const char* const kIdsByRuleBottleneck =
    "Bottleneck kernels (59)."
    " Block 1: 1 8538, 3 852C, 4 8526."
    " Block 2: 0 84FB, 2 84EE, 4 84E2, 5 84DC, 7 84D0, 8 84CA, 10 84BE."
    " Block 3: 0 840C, 2 83FF, 3 83F9, 5 83ED, 7 83E1, 8 83DB, 10 83CF, 11 83C9, 13 83BD, 15 83B1, 16 83AB, 18 839F, 19 8399, 21 838D, 23 8381, 24 837B, 26 836F, 27 8369, 29 835D, 31 8351, 32 834B, 34 833F, 35 8339, 37 832D, 39 8321, 40 831B, 42 830F, 43 8309, 45 82FD, 47 82F1."
    " Block 4: 0 82E8, 1 82E1, 2 82DB, 4 82CF, 5 82C9, 7 82BD, 9 82B1, 10 82AB, 12 829F, 13 8299, 15 828D, 17 8281, 18 827B, 20 826F, 23 825D, 25 8251, 26 824B, 28 823F, 31 822D.";
const char* const kTaskNumbers122 =
    "822D: 885B 889D; 822F: 88B3 88FD; 823B: 8A67 8AB1; 823F: 8AE9 8B2B; 8241: 8B41 8B8B; 824B: 8C9D 8CDF; 824D: 8CF5 8D3F; 8251: 8D77 8DB9; "
    "825D: 8F2B 8F6D; 825F: 8F83 8FCD; 826B: 9137 9181; 826F: 91B9 91FB; 8271: 9211 925B; 827B: 936D 93AF; 827D: 93C5 940F; 8281: 9447 9489; "
    "8289: 9579 95C3; 828D: 95FB 963D; 828F: 9653 969D; 8299: 97AF 97F1; 829B: 9807 9851; 829F: 9889 98CB; 82A1: 98E1 992B; 82AB: 9A3D 9A7F; "
    "82AD: 9A95 9ADF; 82B1: 9B17 9B59; 82B9: 9C49 9C93; 82BD: 9CCB 9D0D; 82BF: 9D23 9D6D; 82C9: 9E7F 9EC1; 82CB: 9ED7 9F21; 82CF: 9F59 9F9B; "
    "82D1: 9FB1 9FFB; 82DB: A10D A14F; 82DD: A165 A1AF; 82E1: A1E7 A229; 82E8: A2D9 A31B; 82EB: A332 A341; 82ED: A3AD A3F1; 82F1: A42D A471; "
    "82F9: A56F A5BB; 82FD: A5F9 A63D; 82FF: A655 A6A1; 8309: A7C5 A809; 830B: A821 A86D; 830F: A8AB A8EF; 8311: A907 A953; 831B: AA77 AABB; "
    "831D: AAD3 AB1F; 8321: AB5D ABA1; 8329: AC9F ACEB; 832D: AD29 AD6D; 832F: AD85 ADD1; 8339: AEF5 AF39; 833B: AF51 AF9D; 833F: AFDB B01F; "
    "8341: B037 B083; 834B: B1A7 B1EB; 834D: B203 B24F; 8351: B28D B2D1; 8359: B3CF B41B; 835D: B459 B49D; 835F: B4B5 B501; 8369: B625 B669; "
    "836B: B681 B6CD; 836F: B70B B74F; 8371: B767 B7B3; 837B: B8D7 B91B; 837D: B933 B97F; 8381: B9BD BA01; 8389: BAFF BB4B; 838D: BB89 BBCD; "
    "838F: BBE5 BC31; 8399: BD55 BD99; 839B: BDB1 BDFD; 839F: BE3B BE7F; 83A1: BE97 BEE3; 83AB: C007 C04B; 83AD: C063 C0AF; 83B1: C0ED C131; "
    "83B9: C22F C27B; 83BD: C2B9 C2FD; 83BF: C315 C361; 83C9: C485 C4C9; 83CB: C4E1 C52D; 83CF: C56B C5AF; 83D1: C5C7 C613; 83DB: C737 C77B; "
    "83DD: C793 C7DF; 83E1: C81D C861; 83E9: C95F C9AB; 83ED: C9E9 CA2D; 83EF: CA45 CA91; 83F9: CBB5 CBF9; 83FB: CC11 CC5D; 83FF: CC9B CCDF; "
    "8401: CCF7 CD43; 840C: CE83 CEC7; 84B2: CF03 CF59; 84BA: D05D D0A9; 84BE: D0E7 D12B; 84C0: D143 D18F; 84CA: D2B3 D2F7; 84CC: D30F D35B; "
    "84D0: D399 D3DD; 84D2: D3F5 D441; 84DC: D565 D5A9; 84DE: D5C1 D60D; 84E2: D64B D68F; 84EA: D78D D7D9; 84EE: D817 D85B; 84F0: D873 D8BF; "
    "84FB: D9FF DA43; 851A: DA7F DAD5; 851C: DAFD DB41; 8526: DC63 DCA7; 8528: DCBF DD0B; 852C: DD49 DD8D; 8534: DE8B DED7; 8538: DF15 DF59; "
    "853A: DF71 DFBD; 8556: E0C2 E0D1 E0E1.";
const char* const kSourceLists[] = {
    "part_1: 8289, 8299, 82B9, 82C9, 82E8, 82F9, 8309, 8329, 8339, 8359, 8369, 8389, 8399, 83B9, 83C9, "
    "83E9, 83F9, 84BA, 84CA, 84EA, 8534.",
    "part_2: 823B, 824B, 826B, 827B, 829B, 82AB, 82CB, 82DB, 82EB, 830B, 831B, 833B, 834B, 836B, 837B, "
    "839B, 83AB, 83CB, 83DB, 83FB, 84CC, 84DC, 84FB, 8526, 8556.",
    "part_3: 822D, 824D, 825D, 827D, 828D, 82AD, 82BD, 82DD, 82ED, 82FD, 831D, 832D, 834D, 835D, 837D, "
    "838D, 83AD, 83BD, 83DD, 83ED, 840C, 84BE, 84DE, 84EE, 8528, 8538.",
    "part_4: 822F, 823F, 825F, 826F, 828F, 829F, 82BF, 82CF, 82FF, 830F, 832F, 833F, 835F, 836F, 838F, "
    "839F, 83BF, 83CF, 83EF, 83FF, 84C0, 84D0, 84F0, 851A, 853A.",
    "part_5: 8241, 8251, 8271, 8281, 82A1, 82B1, 82D1, 82E1, 82F1, 8311, 8321, 8341, 8351, 8371, 8381, "
    "83A1, 83B1, 83D1, 83E1, 8401, 84B2, 84D2, 84E2, 851C, 852C.",
};

// The four fused kernels as published: id, kind, C, parameters, main items, tasks.
struct FusedRow {
  const char* id;
  const char* kind;
  int C, k1, k2, items;
  std::vector<std::string> tasks;
};
const FusedRow kFused[] = {
    {"8556", "stem", 64, 1, 5, 32, {"E0C2", "E0D1", "E0E1"}},
    {"851A", "avgpool_pos", 128, 70, -1, 512, {"DA7F", "DAD5"}},
    {"84B2", "avgpool_pos", 256, 195, -1, 128, {"CF03", "CF59"}},
    {"82EB", "avgpool_img", 896, 680, -1, 32, {"A332", "A341"}},
};

// ---- the instance table as data ----------------------------------------------

struct Row {
  std::string id;
  int part;
  std::string form;
  int block, layer, C, Xs, R, k;
  std::vector<std::string> tasks;
};

const std::vector<Row>& table() {
  static const std::vector<Row> rows = {
#define QEL_DFP_BN_PREFIX(part, id, block, layer, C, Xs, R, k, t1, t2) \
  {#id, part, "prefix", block, layer, C, Xs, R, k, {#t1, #t2}},
#define QEL_DFP_BN_PLAIN(part, id, block, layer, C, R, k, t1, t2) \
  {#id, part, layer < 0 ? "whole" : "bottleneck", block, layer, C, C, R, k, {#t1, #t2}},
#define QEL_DFP_AVGPOOL_POS(part, id, C, Ho, Wo, k, t1, t2) \
  {#id, part, "avgpool_pos", 0, 0, C, C, 32 * Ho * Wo, k, {#t1, #t2}},
#define QEL_DFP_AVGPOOL_IMG(part, id, C, k, t1, t2) {#id, part, "avgpool_img", 0, 0, C, C, 32, k, {#t1, #t2}},
#define QEL_DFP_STEM(part, id, k1, k2, t1, t2, t3) {#id, part, "stem", 0, k2, 64, 64, 32, k1, {#t1, #t2, #t3}},
#include "dfp_instances.def"
  };
  return rows;
}

// Geometry of the dense blocks: channels entering, buffer width, rows, first
// parameter, layers.
struct Block {
  int C0, W, R, B, L;
};
const Block kBlocks[5] = {{}, {64, 256, 2048, 9, 6}, {128, 512, 512, 74, 12}, {256, 1792, 128, 199, 48},
                          {896, 1920, 32, 684, 32}};

// id -> (block, layer) from the ids-by-rule lists.
std::map<std::string, std::pair<int, int>> ids_by_rule(const char* text) {
  std::map<std::string, std::pair<int, int>> out;
  const std::string s(text);
  const std::regex block_re("Block (\\d): ([^.]*)\\.");
  const std::regex item_re("(\\d+) ([0-9A-F]{4})");
  for (std::sregex_iterator b(s.begin(), s.end(), block_re), e; b != e; ++b) {
    const std::string items = (*b)[2];
    for (std::sregex_iterator i(items.begin(), items.end(), item_re); i != e; ++i)
      out[(*i)[2]] = {std::stoi((*b)[1]), std::stoi((*i)[1])};
  }
  return out;
}

std::map<std::string, std::vector<std::string>> task_numbers() {
  std::map<std::string, std::vector<std::string>> out;
  const std::string s(kTaskNumbers122);
  const std::regex re("([0-9A-F]{4}): ((?:[0-9A-F]{4} ?)+)");
  for (std::sregex_iterator m(s.begin(), s.end(), re), e; m != e; ++m) {
    std::vector<std::string> tags;
    const std::string list = (*m)[2];
    for (size_t p = 0; p + 4 <= list.size(); p += 5) tags.push_back(list.substr(p, 4));
    out[(*m)[1]] = tags;
  }
  return out;
}

std::map<std::string, int> source_lists() {
  std::map<std::string, int> out;
  const std::regex re("[0-9A-F]{4}");
  for (const char* line : kSourceLists) {
    const std::string s(line);
    const int part = s[5] - '0';
    const std::string ids = s.substr(7);
    for (std::sregex_iterator m(ids.begin(), ids.end(), re), e; m != e; ++m) out[m->str()] = part;
  }
  return out;
}

// Everything the published tables say about one kernel, merged; a conflict fails.
struct Known {
  std::string role;  // prefix, bottleneck, whole, stem, avgpool_pos, avgpool_img
  int block = -1, layer = -2, C = -1, Xs = -1, R = -1, k = -1, part = -1;
  std::vector<std::string> tasks;
};

Known known(const char* role, int block, int layer, int C = -1, int Xs = -1, int R = -1, int k = -1) {
  Known out;
  out.role = role;
  out.block = block, out.layer = layer, out.C = C, out.Xs = Xs, out.R = R, out.k = k;
  return out;
}

void merge(Known& k, const Known& add, const std::string& id) {
  auto field = [&](int& mine, int theirs, const char* what) {
    if (theirs == -1 || theirs == -2) return;
    if (mine != -1 && mine != -2) {
      EXPECT_EQ(mine, theirs) << id << " " << what;
    }
    mine = theirs;
  };
  if (!add.role.empty()) {
    if (!k.role.empty()) {
      EXPECT_EQ(k.role, add.role) << id;
    }
    k.role = add.role;
  }
  field(k.block, add.block, "block");
  field(k.layer, add.layer, "layer");
  field(k.C, add.C, "C");
  field(k.Xs, add.Xs, "Xs");
  field(k.R, add.R, "rows");
  field(k.k, add.k, "first parameter");
  field(k.part, add.part, "source");
  if (!add.tasks.empty()) {
    if (!k.tasks.empty()) {
      EXPECT_EQ(k.tasks, add.tasks) << id << " task numbers";
    }
    k.tasks = add.tasks;
  }
}

std::map<std::string, Known> published() {
  std::map<std::string, Known> all;
  for (const auto& r : kUnits01Rows) {
    Known k;
    k.role = std::string(r.role) == "final" ? "whole" : r.role;
    k.block = std::string(r.role) == "final" ? 4 : r.block;
    k.layer = r.layer;
    k.C = r.C, k.Xs = r.Xs, k.R = r.rows, k.k = r.k, k.part = r.part;
    k.tasks = {std::string(r.t1), std::string(r.t2)};
    merge(all[r.id], k, r.id);
  }
  for (const auto& [id, bl] : ids_by_rule(kIdsByRulePrefix)) merge(all[id], known("prefix", bl.first, bl.second), id);
  for (const auto& [id, bl] : ids_by_rule(kIdsByRuleBottleneck))
    merge(all[id], known("bottleneck", bl.first, bl.second), id);
  merge(all["851C"], known("whole", 1, -1, 256, 256, 2048, 65), "851C");
  merge(all["82ED"], known("whole", 3, -1, 1792, 1792, 128, 675), "82ED");
  for (const auto& [id, tags] : task_numbers()) {
    Known k;
    k.tasks = tags;
    merge(all[id], k, id);
  }
  for (const auto& [id, part] : source_lists()) {
    Known k;
    k.part = part;
    merge(all[id], k, id);
  }
  for (const MemberRow* table : {kPlainMembers, kPrefixMembers}) {
    const size_t n = table == kPlainMembers ? std::size(kPlainMembers) : std::size(kPrefixMembers);
    for (size_t i = 0; i < n; ++i) {
      const MemberRow& r = table[i];
      Known k;
      k.role = std::string(r.role) == "transition" ? "whole" : r.role;
      k.block = r.block == 0 ? -1 : r.block;
      k.layer = r.layer;
      k.C = r.C, k.Xs = r.Xs, k.R = r.R, k.k = r.k;
      k.tasks = {std::string(r.t1), std::string(r.t2)};
      merge(all[r.id], k, r.id);
    }
  }
  for (const auto& f : kFused) {
    Known k;
    k.role = f.kind;
    k.C = f.C, k.k = f.k1;
    k.tasks = f.tasks;
    merge(all[f.id], k, f.id);
  }
  return all;
}

TEST(BnInstanceTable, PublishedTablesAgreeAndCoverAllKernels) {
  const auto all = published();
  EXPECT_EQ(all.size(), 200u);
  int prefix = 0, bottleneck = 0, whole = 0;
  for (const auto& [id, k] : all) {
    EXPECT_FALSE(k.role.empty()) << id;
    EXPECT_FALSE(k.tasks.empty()) << id << " has no task numbers";
    prefix += k.role == "prefix", bottleneck += k.role == "bottleneck", whole += k.role == "whole";
  }
  EXPECT_EQ(prefix, 94);
  EXPECT_EQ(bottleneck, 98);
  EXPECT_EQ(whole, 4);
  // Task numbers are unique, above every operator id and rise with the kernel id.
  unsigned prev = 0x855C;
  for (const auto& [id, k] : all)  // std::map: ascending ids
    for (const auto& t : k.tasks) {
      const unsigned v = std::stoul(t, nullptr, 16);
      EXPECT_GT(v, prev) << id << " " << t;
      prev = v;
    }
}

TEST(BnInstanceTable, RowsMatchPublishedTablesAndGeometry) {
  const auto all = published();
  ASSERT_EQ(table().size(), 200u);
  std::set<std::string> seen;
  std::string prev_id;
  for (const Row& r : table()) {
    SCOPED_TRACE(r.id);
    EXPECT_TRUE(seen.insert(r.id).second) << "duplicate row";
    EXPECT_LT(prev_id, r.id) << "rows in ascending id order";
    prev_id = r.id;
    ASSERT_EQ(all.count(r.id), 1u) << "not a published kernel";
    const Known& k = all.at(r.id);
    EXPECT_EQ(r.form, k.role);
    EXPECT_EQ(r.tasks, k.tasks);
    // Published values (negative: not given; layer -1 is the whole buffer).
    const auto given = [](int row, int pub, int unknown, const char* what) {
      if (pub > unknown) {
        EXPECT_EQ(row, pub) << what;
      }
    };
    given(r.part, k.part, -1, "source");
    given(r.C, k.C, -1, "C");
    given(r.Xs, k.Xs, -1, "Xs");
    given(r.R, k.R, -1, "rows");
    given(r.k, k.k, -1, "first parameter");
    given(r.block, k.block, -1, "block");
    given(r.layer, k.layer, -2, "layer");
    // The geometry of the network fixes every constant of a bn_relu row.
    if (r.form == "prefix" || r.form == "bottleneck" || r.form == "whole") {
      ASSERT_TRUE(r.block >= 1 && r.block <= 4);
      const Block& b = kBlocks[r.block];
      EXPECT_EQ(r.R, b.R);
      if (r.form == "prefix") {
        EXPECT_TRUE(r.layer >= 1 && r.layer < b.L);
        EXPECT_EQ(r.C, b.C0 + 32 * r.layer);
        EXPECT_EQ(r.Xs, b.W);
        EXPECT_EQ(r.k, b.B + 10 * r.layer - 4);
      } else if (r.form == "bottleneck") {
        EXPECT_TRUE(r.layer >= 0 && r.layer < b.L);
        EXPECT_EQ(r.C, 128);
        EXPECT_EQ(r.k, b.B + 10 * r.layer + 1);
      } else {
        EXPECT_EQ(r.C, b.W);
        EXPECT_EQ(r.k, b.B + 10 * b.L - 4);
      }
    }
  }
}

TEST(BnInstanceTable, EveryChannelStepDividesItsChannelCount) {
  int by24 = 0;
  for (const Row& r : table()) {
    if (r.form == "prefix" || r.form == "bottleneck" || r.form == "whole") {
      const int step = qel::dfp::bn_step(r.C);
      EXPECT_EQ(r.C % step, 0) << r.id;
      by24 += step == 24;
    } else {
      EXPECT_EQ(r.C % 16, 0) << r.id;  // fused tasks take 8 or 16 channels a step
    }
  }
  EXPECT_EQ(by24, 33);
  // The published rows that give their step agree with the rule.
  for (const auto& r : kUnits01Rows) EXPECT_EQ(r.step, qel::dfp::bn_step(r.C)) << r.id;
  for (const auto& r : kPrefixMembers) EXPECT_EQ(r.step, qel::dfp::bn_step(r.C)) << r.id;
}

// ---- exported names ---------------------------------------------------------------

const std::string kPrefix = "qel_x86_4602A7A4_00000000_D0_dfp_ispc_";
const std::string R = "un_3C_Cunf_3E_", W = "un_3C_unf_3E_", B = "un_3C_unt_3E_";

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(BnSymbols, EveryWrapperExportAndTaskResolvesInTheLibrary) {
  void* lib = dlopen(QEL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  int wrappers = 0, exports = 0, tasks = 0;
  for (const auto& [id, k] : published()) {
    SCOPED_TRACE(id);
    std::vector<std::string> codes;  // per task, in launch order
    int tensors = 2;
    if (k.role == "prefix") codes = {R + W, R + R + R + W + R + R};
    if (k.role == "bottleneck" || k.role == "whole") codes = {R + W, R + R + R + R + W + R};
    if (k.role == "avgpool_pos") codes = {R + W, R + R + R + R + W + W + R}, tensors = 3;
    if (k.role == "avgpool_img") codes = {R + W, B + R + R + R + R + W + W + R}, tensors = 3;
    if (k.role == "stem") codes = {R + W, R + W, B + repeat(R, 7) + repeat(W, 3) + R + R}, tensors = 4;
    ASSERT_EQ(codes.size(), k.tasks.size());
    const std::string wrapper = kPrefix + id;
    EXPECT_NE(dlsym(lib, wrapper.c_str()), nullptr) << wrapper;
    wrappers += dlsym(lib, wrapper.c_str()) != nullptr;
    const std::string exp = wrapper + "___un_3C_s_5B_unqel_ctx_struct_5D__3E_" +
                            repeat("un_3C_s_5B_unqel_tensor_struct_5D__3E_", tensors);
    EXPECT_NE(dlsym(lib, exp.c_str()), nullptr) << exp;
    exports += dlsym(lib, exp.c_str()) != nullptr;
    for (size_t t = 0; t < codes.size(); ++t) {
      const std::string task = wrapper + "_" + k.tasks[t] + "___UM_" + codes[t];
      EXPECT_NE(dlsym(lib, task.c_str()), nullptr) << task;
      tasks += dlsym(lib, task.c_str()) != nullptr;
    }
  }
  EXPECT_EQ(wrappers, 200);
  EXPECT_EQ(exports, 200);
  EXPECT_EQ(tasks, 401);
  for (const char* internal : {"ISPCAlloc", "ISPCLaunch", "ISPCSync", "ISPCNumThreads", "ISPCThreadNum"})
    EXPECT_EQ(dlsym(lib, internal), nullptr) << internal << " must stay internal";
  dlclose(lib);
}

// ---- the whole table: both kinds of kernels --------------------------------------

struct AnyRow {
  int part;
  std::string id;
  std::string args;  // the remaining columns; the task numbers come last
  int tasks;         // how many
};

const std::vector<AnyRow>& all_rows() {
  static const std::vector<AnyRow> rows = {
#define QEL_DFP_BN_PREFIX(part, id, ...) {part, #id, #__VA_ARGS__, 2},
#define QEL_DFP_BN_PLAIN(part, id, ...) {part, #id, #__VA_ARGS__, 2},
#define QEL_DFP_AVGPOOL_POS(part, id, ...) {part, #id, #__VA_ARGS__, 2},
#define QEL_DFP_AVGPOOL_IMG(part, id, ...) {part, #id, #__VA_ARGS__, 2},
#define QEL_DFP_STEM(part, id, ...) {part, #id, #__VA_ARGS__, 3},
#define QEL_DFP_CONCAT_COPY(part, id, ...) {part, #id, #__VA_ARGS__, 1},
#define QEL_DFP_INPUT_PAD(part, id, ...) {part, #id, #__VA_ARGS__, 1},
#define QEL_DFP_LEAKY_RELU(part, id, ...) {part, #id, #__VA_ARGS__, 1},
#define QEL_DFP_UPSAMPLE_BILINEAR(part, id, ...) {part, #id, #__VA_ARGS__, 1},
#define QEL_DFP_LEAKY_RELU_UPSAMPLE(part, id, ...) {part, #id, #__VA_ARGS__, 1},
#include "dfp_instances.def"
  };
  return rows;
}

TEST(KernelTable, KernelsAreDealtToTheEightSourcesInIdOrder) {
  std::vector<AnyRow> rows = all_rows();
  ASSERT_EQ(rows.size(), 316u);
  std::sort(rows.begin(), rows.end(), [](const AnyRow& a, const AnyRow& b) { return a.id < b.id; });
  int per_part[8] = {};
  std::vector<unsigned> tasks;
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].id);
    if (i > 0) {
      EXPECT_NE(rows[i].id, rows[i - 1].id) << "one row per kernel";
    }
    EXPECT_EQ(rows[i].part, static_cast<int>(i % 8));
    ++per_part[rows[i].part % 8];
    // The last columns are the task numbers.
    std::vector<std::string> cols;
    std::stringstream ss(rows[i].args);
    for (std::string c; std::getline(ss, c, ',');) cols.push_back(c.substr(c.find_first_not_of(' ')));
    ASSERT_GE(cols.size(), static_cast<size_t>(rows[i].tasks));
    unsigned prev = std::stoul(rows[i].id, nullptr, 16);
    for (size_t c = cols.size() - rows[i].tasks; c < cols.size(); ++c) {
      ASSERT_TRUE(std::regex_match(cols[c], std::regex("[0-9A-F]{4}"))) << cols[c];
      const unsigned t = std::stoul(cols[c], nullptr, 16);
      EXPECT_GT(t, prev) << "task numbers rise in launch order";
      prev = t;
      tasks.push_back(t);
    }
  }
  EXPECT_EQ(tasks.size(), 517u);
  EXPECT_TRUE(std::is_sorted(tasks.begin(), tasks.end())) << "task numbers rise with the kernel id";
  EXPECT_EQ(std::adjacent_find(tasks.begin(), tasks.end()), tasks.end()) << "task numbers are unique";
  EXPECT_EQ(tasks.front(), 0x8566u);
  EXPECT_EQ(tasks.back(), 0xE1E6u);
  EXPECT_GT(tasks.front(), std::stoul(rows.back().id, nullptr, 16)) << "above every kernel id";
  for (int p = 0; p < 8; ++p) EXPECT_EQ(per_part[p], p < 4 ? 40 : 39) << "part " << p;
}

}  // namespace
