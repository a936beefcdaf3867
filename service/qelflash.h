// qelflash: the service command for the box, one subcommand per thing the library does.
#pragma once

namespace qelflash {

int Main(int argc, const char* const* argv);

}  // namespace qelflash
