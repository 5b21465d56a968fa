#pragma once

#include <QString>

// Every user-visible key text (the IDS_ keys and the English literals) is
// resolved through the embedded English catalogue ":/en.qm" in this one
// translation context.
inline constexpr const char *kTextContext = "Pelicorde";

// The catalogue's text for key, or key itself when the catalogue lacks it.
QString ids(const char *key);

// The product's name as boxes and reports show it.
QString productName();
