#include "bpe/decoder.h"

namespace morfex::bpe {

TextShape decode(const CoreBPE& bpe, std::span<const TokenId> ids, TextBuffer& text) {
  return bpe.spellings.join(ids, text);
}

std::string decode(const CoreBPE& bpe, std::span<const TokenId> ids) {
  TextBuffer text;
  decode(bpe, ids, text);
  return std::string(text.begin(), text.end());
}

}  // namespace morfex::bpe
