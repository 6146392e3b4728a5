#pragma once
// Everything the platform layer offers.

#include "Debug.h"
#include "Errors.h"
#include "Handles.h"
#include "Memory.h"
#include "Messages.h"
#include "PortList.h"
#include "ScriptedDevice.h"
#include "Serial.h"
#include "Threads.h"
#include "Time.h"
#include "Win32Types.h"
