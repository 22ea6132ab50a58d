"""`set` and `get`: text requests in output report 1, answers in input report 1."""

import pytest

from csr_model import INPUT_SIZE, OUTPUT_SIZE


def control(result, status):
    """The entries of the one control document, after the exit status."""
    documents = result.documents()
    assert result.returncode == status and len(documents) == 1 and set(documents[0]) == {'control'}, result
    return documents[0]['control']


def entry(request, response, error):
    return {'request': request, 'response': response, 'error': error}


def test_get_returns_each_answer_and_marks_the_unanswered(tree):
    full = 'f' * (INPUT_SIZE - 2)  # fills the input report: ID, text, terminating zero
    tree.model.answers = {'alpha': 'ok', 'version': 'v1.2 «beta»', 'empty': '', 'full': full}
    result = tree.harness.run('get', tree.csr.identifier, 'alpha', 'beta', 'version', 'empty', 'full', 'alpha')
    assert control(result, 255) == [entry('alpha', 'ok', None),
                               entry('beta', None, 'Error reading from device'),
                               entry('version', 'v1.2 «beta»', None),
                               entry('empty', '', None),
                               entry('full', full, None),
                               entry('alpha', 'ok', None)]
    assert tree.model.text_requests == ['alpha', 'beta', 'version', 'empty', 'full', 'alpha']


def test_set_sends_each_name_without_waiting(tree):
    tree.model.answers = {'one': 'ignored'}
    result = tree.harness.run('set', tree.csr.identifier, 'one', 'two', '')
    assert control(result, 0) == [entry('one', '', None), entry('two', '', None), entry('', '', None)]
    assert tree.model.text_requests == ['one', 'two', '']


def test_names_longer_than_the_output_report_are_refused_alone(tree):
    longest, too_long = 'x' * (OUTPUT_SIZE - 2), 'y' * (OUTPUT_SIZE - 1)  # ID, text, terminating zero
    result = tree.harness.run('set', tree.csr.identifier, too_long, longest)
    assert control(result, 255) == [entry(too_long, None, 'Request too long'), entry(longest, '', None)]
    assert tree.model.text_requests == [longest]


@pytest.mark.parametrize('identifier, error', [
    ('0a12-1004-01240000', 'Unable to connect to device'),
    ('0a12-1004', 'Invalid device identifier'),
])
def test_every_name_carries_the_connection_error(tree, identifier, error):
    result = tree.harness.run('get', identifier, 'a', 'b')
    assert control(result, 255) == [entry('a', None, error), entry('b', None, error)]
    assert tree.model.text_requests == []


def test_no_names_is_an_empty_success(tree):
    result = tree.harness.run('get', '0a12-1004-01240000')
    assert (result.returncode, result.lines) == (0, ['{"control": []}']), result


def test_device_unplugged_while_a_get_waits(tree):
    from gi.repository import GLib
    h = tree.harness
    tree.model.answers = {'first': 'yes'}
    original = tree.model.output_report

    def leave_on_second(data):
        if data[1:7] == b'second':  # unanswered: the device goes while the command waits
            GLib.idle_add(lambda: (tree.csr in h.plugged and h.unplug(tree.csr), False)[1])
        return original(data)
    tree.model.output_report = leave_on_second
    result = h.run('get', tree.csr.identifier, 'first', 'second', 'third', timeout=30)
    assert control(result, 255) == [entry('first', 'yes', None),
                               entry('second', None, 'Error reading from device'),
                               entry('third', None, 'Error writing to device')]
    assert tree.model.text_requests == ['first', 'second']
