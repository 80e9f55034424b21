"""A deliberately plain model of the tokenizer, for differential tests and benchmarks.

It keeps symbols as a list of str, forms every merge key by string
concatenation and rescans all adjacent pairs for each merge, so it is slow but
easy to check by eye.
"""

from morfex.vocabulary import MARKER, SPECIAL_TOKENS

NO_RANK = 4294967295
MASK64 = 2**64 - 1


def mix64(z):
    """splitmix64's output function."""
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
    return z ^ (z >> 31)


class SplitMix64:
    """The random stream of dropout: a counter stepped by the golden-ratio constant, mixed."""

    def __init__(self, seed):
        self.state = seed

    def uniform(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK64
        return (mix64(self.state) >> 11) * 2.0**-53


def sequence_stream(seed, index):
    """The stream that sequence `index` of a batch draws from."""
    return SplitMix64(seed ^ mix64(index + 1))


class ReferenceBPE:
    def __init__(self, vocab, merges):
        self.token_to_id = dict(vocab)
        # With shared ids the last token seen wins; the extension may pick another.
        self.id_to_token = {}
        for token, token_id in self.token_to_id.items():
            self.id_to_token[token_id] = token
        # Later positions overwrite earlier ones, so a repeated key keeps its last rank.
        self.merge_ranks = {}
        for rank, (left, right) in enumerate(merges):
            self.merge_ranks[left + "\t" + right] = rank
        self.special_ids = {self.token_to_id[t] for t in SPECIAL_TOKENS if t in self.token_to_id}
        self.unk_id = self.token_to_id.get("<unk>", 1)

    def merge(self, text):
        """Return the final symbols of `text` after all merges."""
        symbols = list(text)
        while len(symbols) >= 2:
            best_rank = NO_RANK
            best_pos = None
            for i in range(len(symbols) - 1):
                rank = self.merge_ranks.get(symbols[i] + "\t" + symbols[i + 1])
                if rank is not None and rank < best_rank:
                    best_rank = rank
                    best_pos = i
            if best_pos is None:
                break
            symbols[best_pos : best_pos + 2] = [symbols[best_pos] + symbols[best_pos + 1]]
        return symbols

    def merge_dropout(self, text, rate, stream):
        """The final symbols with BPE-dropout: at each step the ranked pairs are
        tried by rank, then position, each dropped when a draw is below `rate`;
        the first kept merges, and a step that drops them all ends merging."""
        symbols = list(text)
        while len(symbols) >= 2:
            ranked = []
            for i in range(len(symbols) - 1):
                rank = self.merge_ranks.get(symbols[i] + "\t" + symbols[i + 1])
                if rank is not None and rank != NO_RANK:
                    ranked.append((rank, i))
            chosen = next((i for _, i in sorted(ranked) if not stream.uniform() < rate), None)
            if chosen is None:
                break
            symbols[chosen : chosen + 2] = [symbols[chosen] + symbols[chosen + 1]]
        return symbols

    def encode_dropout(self, text, rate, stream):
        return self.ids_of(self.merge_dropout(text, rate, stream))

    def encode(self, text):
        return self.ids_of(self.merge(text))

    def ids_of(self, symbols):
        ids = []
        for symbol in symbols:
            if symbol in self.token_to_id:
                ids.append(self.token_to_id[symbol])
            else:
                ids.extend(self.token_to_id.get(ch, self.unk_id) for ch in symbol)
        return ids

    def decode(self, ids):
        pieces = []
        for token_id in ids:
            if token_id in self.special_ids:
                continue
            token = self.id_to_token.get(token_id)
            if token is not None:
                pieces.append(token)
        return "".join(pieces).replace(MARKER, "")
