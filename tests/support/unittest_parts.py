"""A long unittest script run as parts side by side: the classes named on the
command line make one part, `--except CLASS...` every other class, so that
the parts together always hold every test of the script."""
import unittest


def classes_except(module, excluded):
    """The names of the module's test classes but `excluded` ([] when none is
    excluded: then unittest runs them all). A name that is no test class of the
    module is an error, so that a renamed class cannot leave a part empty."""
    if not excluded:
        return []
    names = sorted(name for name, obj in vars(module).items()
                   if isinstance(obj, type) and issubclass(obj, unittest.TestCase))
    unknown = set(excluded) - set(names)
    if unknown:
        raise SystemExit(f"--except: no test class {', '.join(sorted(unknown))}")
    return [name for name in names if name not in excluded]


def add_option(parser):
    parser.add_argument("--except", dest="others", nargs="+", default=[], metavar="CLASS",
                        help="every test class but these (the named ones run as a part of their own)")
