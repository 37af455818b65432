"""A fixed number of rounds of the hostile-callback harness
(tests/hostile_callbacks.py), with its seed: in the suite, and so under
AddressSanitizer in scripts/sanitize-python.sh."""

import hostile_callbacks


def test_hostile_callbacks_neither_crash_nor_lose_an_interrupt_nor_bind_what_was_not_there():
    stats = hostile_callbacks.run(seed=22, rounds=1500)
    # The rounds reached every kind of outcome the checks judge.
    for seen in ["bind: interrupt passed", "run: interrupt passed", "bind: TypeError",
                 "bind: bound exactly what it held", "identifier: interrupt passed", "if_: ok"]:
        assert stats[seen] > 0, (seen, stats)
