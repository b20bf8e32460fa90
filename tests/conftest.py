import threading

import pytest


@pytest.fixture
def in_thread():
    """Run a function on a fresh thread and return its result (or raise its exception)."""

    def run(function):
        outcome = {}

        def target():
            try:
                outcome["value"] = function()
            except BaseException as error:  # handed back to the test
                outcome["error"] = error

        thread = threading.Thread(target=target)
        thread.start()
        thread.join()
        if "error" in outcome:
            raise outcome["error"]
        return outcome["value"]

    return run
