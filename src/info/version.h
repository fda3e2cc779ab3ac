#pragma once

#include <QString>

namespace tarvik_usb_encoder {

// Carries the utility's version and part number as named text resources; never shown.
class version {
 public:
  // The resource's text, or an empty text for an unknown name.
  static QString resource(const QString& name);
};

}  // namespace tarvik_usb_encoder
