# The library's fixture, for a run with PYTHONPATH=python (an installed kelvane_testing brings
# it by itself, under the same name, so that it loads once either way).
pytest_plugins = ["kelvane_testing.pytest_plugin"]
