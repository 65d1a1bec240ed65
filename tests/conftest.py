# Results are checked, never timed: a property test on a busy machine must
# not fail for taking longer than hypothesis's default per-example deadline.
import os

from hypothesis import settings

settings.register_profile("lumora", deadline=None)
# Under a sanitizer every example costs several times as much, and what the
# run looks for is memory and thread faults, not numeric ones (the plain
# runs try every property in full): a fifth of the examples still take each
# strategy through its edge cases.
settings.register_profile("lumora-sanitized", settings.get_profile("lumora"), max_examples=20)
settings.load_profile("lumora-sanitized" if os.environ.get("LUMORA_SANITIZER") else "lumora")
