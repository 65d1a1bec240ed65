# Results are checked, never timed: a property test on a busy machine must
# not fail for taking longer than hypothesis's default per-example deadline.
from hypothesis import settings

settings.register_profile("lumora", deadline=None)
settings.load_profile("lumora")
