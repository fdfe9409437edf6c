"""The plugin manager written as plain Python: what the extension is measured against.

It does what the extension does, step by step, the way one would write it in Python: the checks run
as methods looked up on self and called by keyword, the walk goes down the tree one dict at a time,
the messages are built from their pieces, and the printout renders each level by rendering its
children through self.print_tree, splitting their text into lines and prefixing each line. The
reserved key "data", the lookup that stops at the root, getfile before any node is created, non-str
keys shown by their str() text and %-messages with a tuple value behave as in the extension.
Discovery only imports modules and is not measured, so it is left out.

The second baseline is this file compiled with Cython, unchanged (build_cython.py).
"""

import logging
from inspect import getfile

from mirtal.core.errors import ConnectionInfraError

log = logging.getLogger("mirtal")


def key_path(os, series, model):
    """The keys that address a node: os, then series, then model, decided by identity with None."""
    if model is not None:
        return [os, series, model]
    if series is not None:
        return [os, series]
    return [os]


class PluginManager:
    """Loads all plugin implementation,
    provides API's for accessing plugins"""

    def __init__(self):
        """Initialize"""
        self._plugins = {}
        self.chassis_type_list = ["single_rp", "dual_rp", "stack"]
        self.supported_os = [
            "brelk", "tarn", "vennu", "tarnel", "tarvik", "solvar", "quilos", "mekari",
            "oru", "dex", "plo", "yarrf", "uzu", "kolm", "jepra", "dravo",
        ]

    @property
    def plugins(self):
        """Plugin list getter"""
        return self._plugins

    @plugins.setter
    def plugins(self, value):
        raise Exception(" Protected Member, cannot modify Plugins")

    def validate_model(self, os, series, model):
        """Validates Model"""
        if not model:
            return
        if not series or not os:
            raise ConnectionInfraError("OS and Series are required for Model: " + str(model))
        if not isinstance(model, str):
            raise ConnectionInfraError("Model should be of type str")
        if model.islower() or model.isdigit():
            if model == "data":
                raise ConnectionInfraError("Model (%s) is a reserved name" % (model,))
            return
        raise ConnectionInfraError(" Model (%s) has to be in lowecase" % (model,))

    def validate_series(self, os, series):
        """Validates series"""
        if not series:
            return
        if os is None:
            raise ConnectionInfraError("OS information not provided for Series: " + str(series))
        if not isinstance(series, str):
            raise ConnectionInfraError("Series should be of type str")
        if series.islower() or series.isdigit():
            if series == "data":
                raise ConnectionInfraError("Series (%s) is a reserved name" % (series,))
            return
        raise ConnectionInfraError("Series (%s) has to be in lowercase" % (series,))

    def validate_os(self, os):
        """Validates OS"""
        if os and os not in self.supported_os and "mocked" not in os:
            log.debug("%s is not part of the built-in list of supported OSes." % (os,))
        elif not os:
            raise ConnectionInfraError(
                "OS should be one of these " + str(self.supported_os) + " , but got " + str(os)
            )

    def validate_chassis_type(self, chassis_type):
        """Validate chassis"""
        if not chassis_type or chassis_type not in self.chassis_type_list:
            raise ConnectionInfraError(
                "chassis Type should be one of these "
                + str(self.chassis_type_list)
                + ", but got "
                + str(chassis_type)
            )

    def validate_arguments(self, os, series, model, chassis_type):
        """Validates the input arguments provided"""
        self.validate_model(os=os, series=series, model=model)
        self.validate_series(series=series, os=os)
        self.validate_os(os=os)
        if os == "quilos":
            return
        self.validate_chassis_type(chassis_type=chassis_type)

    def get_plugin(self, os=None, series=None, model=None, chassis_type="single_rp"):
        """This method returns the connection class based on the
        input details provided"""
        self.validate_arguments(os, series, model, chassis_type)
        from_path = key_path(os, series, model)
        node = self._plugins
        reached = 0
        for key in from_path:
            if key not in node:
                break
            node = node[key]
            reached += 1
        # The root holds OS nodes only: a walk that stops there finds nothing.
        if reached and "data" in node and chassis_type in node["data"]:
            return node["data"][chassis_type]["cls"]
        raise ConnectionInfraError(
            "Plugin data not found for ("
            + "/".join(str(key) for key in from_path)
            + "), type: "
            + str(chassis_type)
            + " "
        )

    def unregister_plugin(self, os=None, series=None, model=None, chassis_type=None):
        """This method unregister a particular implementations from
        the internal database"""
        self.validate_arguments(os, series, model, "single_rp")
        node = self._plugins
        for key in key_path(os, series, model):
            if key not in node:
                raise ConnectionInfraError("Plugin data not found")
            node = node[key]
        if "data" not in node:
            raise ConnectionInfraError("Plugin data not found")
        if chassis_type is None:
            del node["data"]
            return
        chassis_map = node["data"]
        if chassis_type not in chassis_map:
            raise ConnectionInfraError("Plugin data not found for %s" % (chassis_type,))
        del chassis_map[chassis_type]

    def register_plugin(self, cls, os=None, series=None, model=None, chassis_type="single_rp"):
        """This method registers all the implementation plugin(i.e connection class)
        to the mirtal plugin manager
        It takes OS, SERIES, MODEL information and based on that
        registers it
        cls refer to the connection class
        chassis_type indicates if the connection class is for single_rp or
        dual_rp or stack(default single_rp)"""
        self.validate_arguments(os, series, model, chassis_type)
        node = self._plugins
        # Before any node is made, so that a class getfile rejects leaves the tree as it was.
        class_path = getfile(cls)
        for key in key_path(os, series, model):
            if key not in node:
                node[key] = {}
            node = node[key]
        record = {"cls": cls, "path": class_path}
        if "data" in node:
            node["data"][chassis_type] = record
        else:
            node["data"] = {chassis_type: record}

    def print_tree(self, data, output="plugin"):
        """This Method print the plugin list in tree structure
        Sample Tree Structure::

            plugin
              |__ vennu
                |__ zq4
                  |__ data
                    |__ single_rp
                      |__ cls = <class 'vennu.Zq4Connection'>
                      |__ path = /lib/mirtal/plugins/vennu.py
        """
        if not data:
            return ""
        if data == {}:
            return ""
        if not isinstance(data, dict):
            return output + " = " + str(data)
        keys = list(data.keys())
        if all(isinstance(key, str) for key in keys):
            sorted_keys = sorted(keys)
        else:
            sorted_keys = sorted(keys, key=str)
        last_key = sorted_keys[-1]
        for key in sorted_keys:
            temp_output = self.print_tree(
                data=data[key], output="__ " + (key if isinstance(key, str) else str(key))
            )
            separator = "  " if key == last_key else "  |"
            current_line = 1
            for line in temp_output.split("\n"):
                if current_line == 1 and key == last_key:
                    output += "\n  |" + line
                else:
                    output += "\n" + separator + line
                current_line += 1
        return output

    def __repr__(self):
        header = "plugins (" + str(self.__class__) + " at " + hex(id(self)) + ") "
        return self.print_tree(data=self._plugins, output=header)
