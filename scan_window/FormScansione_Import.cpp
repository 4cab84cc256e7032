#include "scan_window/FormScansione.h"

void FormScansione::ImportaPdf() {}
