#!/usr/bin/env python3
"""The Group Policy templates as the generator writes them, parsed as XML: well formed, in the
structure that the policy editor reads. (Their content against the settings description, and
the references between the two files, are the native PolicyTemplates_test's.)

PENDRA_POLICY_TEMPLATES names the native build's pendra-policy-templates (ctest sets it).
"""

import os
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

NS = 'http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions'
KEY = r'Software\Policies\Tarnwick\NTP Client'


def q(tag):
    return f'{{{NS}}}{tag}'


class PolicyTemplatesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tool = os.environ.get('PENDRA_POLICY_TEMPLATES', '')
        if not os.path.isfile(cls.tool):
            raise AssertionError('PENDRA_POLICY_TEMPLATES names no generator')
        cls.work = tempfile.TemporaryDirectory()
        cls.folder = os.path.join(cls.work.name, 'PolicyDefinitions')
        done = subprocess.run([cls.tool, cls.folder], capture_output=True, text=True, timeout=30)
        if done.returncode != 0:
            raise AssertionError(f'generator failed: {done.stderr}')
        cls.raw = {}
        for name in ('Pendra.admx', os.path.join('en-US', 'Pendra.adml')):
            with open(os.path.join(cls.folder, name), 'rb') as file:
                cls.raw[name] = file.read()
        cls.admx = ET.fromstring(cls.raw['Pendra.admx'])
        cls.adml = ET.fromstring(cls.raw[os.path.join('en-US', 'Pendra.adml')])

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def test_files_are_well_formed_with_the_structure_the_editor_reads(self):
        for name, data in self.raw.items():
            with self.subTest(name):
                self.assertTrue(data.startswith(b'<?xml version="1.0" encoding="utf-8"?>\r\n'))
                self.assertNotIn(b'\n', data.replace(b'\r\n', b''))
                data.decode('ascii')
        self.assertEqual(self.admx.tag, q('policyDefinitions'))
        self.assertEqual(self.adml.tag, q('policyDefinitionResources'))
        # The editor refuses an ADML older than the ADMX asks for.
        required = self.admx.find(q('resources')).get('minRequiredRevision')
        self.assertLessEqual(float(required), float(self.adml.get('revision')))
        strings = self.adml.find(f'{q("resources")}/{q("stringTable")}')
        self.assertTrue(strings.findall(q('string')))

        spaces = self.admx.find(q('policyNamespaces'))
        self.assertEqual(len(spaces.findall(q('target'))), 1)
        using = {u.get('prefix'): u.get('namespace') for u in spaces.findall(q('using'))}
        self.assertEqual(using, {'windows': 'Microsoft.Policies.Windows'})
        categories = {c.get('name'): c for c in self.admx.find(q('categories'))}
        self.assertEqual(set(categories), {'Tarnwick', 'Pendra'})
        self.assertIsNone(categories['Tarnwick'].find(q('parentCategory')))
        self.assertEqual(categories['Pendra'].find(q('parentCategory')).get('ref'), 'Tarnwick')

        policies = self.admx.find(q('policies')).findall(q('policy'))
        self.assertGreaterEqual(len(policies), 12)
        for policy in policies:
            with self.subTest(policy.get('name')):
                self.assertEqual(policy.get('class'), 'Machine')
                self.assertEqual(policy.get('key'), KEY)
                self.assertEqual([child.tag for child in policy],
                                 [q('parentCategory'), q('supportedOn'), q('elements')])
                self.assertEqual(policy.find(q('parentCategory')).get('ref'), 'Pendra')
                self.assertTrue(policy.find(q('supportedOn')).get('ref').startswith('windows:'))
                (element,) = list(policy.find(q('elements')))
                self.assertIn(element.tag, [q('decimal'), q('boolean'), q('text')])
                self.assertEqual(element.get('id'), policy.get('name'))
                self.assertEqual(element.get('valueName'), policy.get('name'))
                if element.tag == q('decimal'):
                    self.assertLessEqual(int(element.get('minValue')),
                                         int(element.get('maxValue')))
                    self.assertLessEqual(int(element.get('maxValue')), 0xFFFFFFFF)

    def test_a_wrong_command_line_is_refused(self):
        done = subprocess.run([self.tool], capture_output=True, text=True, timeout=30)
        self.assertEqual(done.returncode, 2)
        self.assertIn('usage', done.stderr)
        # A folder that cannot be made: a file stands where its parent should be.
        blocker = os.path.join(self.work.name, 'file')
        with open(blocker, 'w', encoding='ascii'):
            pass
        done = subprocess.run([self.tool, os.path.join(blocker, 'PolicyDefinitions')],
                              capture_output=True, text=True, timeout=30)
        self.assertEqual(done.returncode, 1)
        self.assertIn('cannot create', done.stderr)


if __name__ == '__main__':
    sys.exit(unittest.main())
