#include "app/Main.h"

namespace kelvane {

// Placeholder until the file selection lands.
void Main::Browse_Click() {}

}  // namespace kelvane
