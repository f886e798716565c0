// Forms of the data-movement and decoder kernels (row macros of dfp_move_instances.def).
#pragma once
#include "dfp_frame.h"
