"""Standard output that refuses what the tool writes: one line on standard error, status 255, and a
transfer under way still sees the device through its protocol and reset."""

import os
import signal

import pytest

from csr_model import csr_firmware
from dfu_file import read_dfu, write_dfu
from harness import default_binary

DOCUMENT = "Can't write the JSON document: %s\n"
IMAGE = csr_firmware(3000, seed=5)
SENT_X = lambda t, d: t.model.text_requests == ['x']  # noqa: E731

# name: (arguments(tree, tmp_path), line on standard error, what the device or the disk must show)
ACTIONS = {
    'version': (lambda t, d: ['version'], DOCUMENT, None),
    'devices': (lambda t, d: ['devices'], DOCUMENT, None),
    'monitor': (lambda t, d: ['monitor'], DOCUMENT, None),  # ends at once
    'dfufile': (lambda t, d: ['dfufile', write_dfu(d / 'f.dfu', b'image')],
                "Can't write the DFU file description: %s\n", None),
    'get': (lambda t, d: ['get', t.csr.identifier, 'x'], DOCUMENT, SENT_X),
    'set': (lambda t, d: ['set', t.csr.identifier, 'x'], DOCUMENT, SENT_X),
    'update': (lambda t, d: ['update', t.csr.identifier, write_dfu(d / 'f.dfu', IMAGE)], DOCUMENT,
               lambda t, d: t.model.firmware == IMAGE and t.model.controls == [0xFF]),
    'backup': (lambda t, d: ['backup', t.csr.identifier, d / 'b.dfu'], DOCUMENT,
               lambda t, d: read_dfu(d / 'b.dfu')[0] == t.model.firmware and t.model.controls == [0xFF]),
    '--help': (lambda t, d: ['--help'], "Can't write the usage: %s\n", None),
    '--version': (lambda t, d: ['--version'], "Can't write the version: %s\n", None),
}


@pytest.mark.parametrize('arguments, line, done', ACTIONS.values(), ids=ACTIONS.keys())
def test_an_action_whose_output_is_refused_says_so_once_and_fails(tree, tmp_path, arguments, line, done):
    with open('/dev/full', 'w') as full:
        result = tree.harness.run(*arguments(tree, tmp_path), stdout=full, timeout=10)
    assert (result.returncode, result.stderr) == (255, line % 'No space left on device'), result
    assert done is None or done(tree, tmp_path), tree.model.log


def test_an_update_prints_nothing_after_a_failed_document_and_still_completes(tree, tmp_path):
    tree.harness.binary = 'strace'  # the second write() of the process, the second document, fails
    result = tree.harness.run('-f', '-qq', '-o', '/dev/null', '-e', 'trace=write', '-e', 'inject=write:error=EIO:when=2',
                              default_binary(), 'update', tree.csr.identifier, write_dfu(tmp_path / 'f.dfu', IMAGE))
    assert (result.returncode, len(result.lines), result.stderr) == (255, 1, DOCUMENT % 'Input/output error'), result
    assert (tree.model.firmware, tree.model.controls) == (IMAGE, [0xFF])



def test_a_reader_gone_mid_update_ends_it_by_sigpipe_once_the_device_is_done(tree, tmp_path):
    read_end, write_end = os.pipe()
    os.close(read_end)
    with os.fdopen(write_end, 'w') as gone:
        result = tree.harness.run('update', tree.csr.identifier, write_dfu(tmp_path / 'f.dfu', IMAGE), stdout=gone)
    assert result.returncode == -signal.SIGPIPE, result
    assert (tree.model.firmware, tree.model.controls) == (IMAGE, [0xFF])
