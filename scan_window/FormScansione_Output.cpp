#include "scan_window/FormScansione.h"

void FormScansione::SalvaDocumento() {}

void FormScansione::SalvaPdf(const QString& /*folder*/) {}
