#include "stored_form.h"

#include "store.h"

namespace orvex {

bool encodeForStore(const uint8_t* data, size_t length, StoredForm form, bool wasCompressed,
                    std::vector<uint8_t>* stream) {
  if (form == StoredForm::kStore || (form == StoredForm::kKeep && !wasCompressed)) return false;
  if (!compress(data, length, stream)) return false;
  return form != StoredForm::kAuto || stream->size() < length;
}

}  // namespace orvex
