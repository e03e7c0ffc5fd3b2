// The name of the machine the program runs on, as the system gives it: what a
// station's records call the station.
#pragma once

#include <string>

// "line2-station4"; "unknown" when the system will not say.
std::string HostName();
