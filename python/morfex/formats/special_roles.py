"""The four special roles of a vocabulary and the tokens that spell them.

A model names its pad, unknown, begin and end tokens; a role it does not
name is spelled as usual ("<pad>", "<unk>", "<s>", "</s>") when the
vocabulary has that token, and is absent otherwise.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping

from morfex._engine import UNK_ID
from morfex.vocabulary import SPECIAL_TOKENS

SPECIAL_ROLES = ("pad", "unk", "bos", "eos")
USUAL_SPELLINGS = dict(zip(SPECIAL_ROLES, SPECIAL_TOKENS))
# What the core falls back to for an unknown character when "<unk>" is absent.
CORE_UNKNOWN_ID = UNK_ID


def usual(vocab: Mapping[str, int]) -> dict[str, str]:
    """The roles that `vocab` spells the usual way."""
    return {role: token for role, token in USUAL_SPELLINGS.items() if token in vocab}


def resolve(given: object, vocab: Mapping[str, int], merges: Iterable[tuple[str, str]]) -> dict[str, str]:
    """Role to spelling, in role order: `given` (a mapping or None) over the usual spellings.

    Decoding drops special tokens, so a role on a token that a merge uses or
    makes would drop ordinary text: such a role is refused. The usual
    spellings are special to the core whatever the roles say, so they are
    left as the vocabulary and merges have them.
    """
    chosen = _chosen(given, vocab)
    roles_of = {token: role for role, token in reversed(chosen.items()) if token != USUAL_SPELLINGS[role]}
    for left, right in merges if roles_of else ():
        for token, how in ((left, "taken"), (right, "taken"), (left + right, "made")):
            if token in roles_of:
                raise ValueError(
                    f"special_tokens[{roles_of[token]!r}]: {token!r} is {how} by the merge {left!r} {right!r}: "
                    "a special token is dropped by decode, so no merge may use or make it"
                )
    return chosen


def _chosen(given: object, vocab: Mapping[str, int]) -> dict[str, str]:
    if given is None:
        return usual(vocab)
    if not isinstance(given, Mapping):
        raise TypeError(f"special_tokens must be a mapping of role to token, not {type(given).__name__}")
    chosen = usual(vocab)
    for role, token in given.items():
        if role not in SPECIAL_ROLES:
            raise ValueError(f"special_tokens: unknown role {role!r} (the roles are {', '.join(SPECIAL_ROLES)})")
        if not isinstance(token, str):
            raise TypeError(f"special_tokens[{role!r}] must be a str, not {type(token).__name__}")
        if token not in vocab:
            raise ValueError(f"special_tokens[{role!r}]: {token!r} is not in the vocabulary")
        chosen[role] = token
    return {role: chosen[role] for role in SPECIAL_ROLES if role in chosen}


def unknown_id(roles: Mapping[str, str], vocab: Mapping[str, int]) -> int:
    """The id an unknown character encodes as."""
    return vocab[roles["unk"]] if "unk" in roles else CORE_UNKNOWN_ID


def special_ids(roles: Mapping[str, str], vocab: Mapping[str, int]) -> frozenset[int]:
    """The ids that decoding drops."""
    return frozenset(vocab[token] for token in roles.values())


def core_agrees(roles: Mapping[str, str], vocab: Mapping[str, int]) -> bool:
    """Whether the core's fixed spellings give the same unknown id and special ids as `roles`."""
    usual_roles = usual(vocab)
    return unknown_id(roles, vocab) == unknown_id(usual_roles, vocab) and special_ids(roles, vocab) == special_ids(
        usual_roles, vocab
    )
