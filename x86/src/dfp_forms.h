// Every kernel form of the instance table; included by the eight kernel
// sources before the table.
#pragma once
#include "dfp_bn_forms.h"
#include "dfp_frame.h"
#include "dfp_move_forms.h"
