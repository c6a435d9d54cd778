#include "app/Main.h"

namespace kelvane {

// Placeholder until the transfer frame lands.
void Main::Start_Click() {}

}  // namespace kelvane
