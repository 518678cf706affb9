"""The lighthead data record as Python dataclasses, converted to and from the C record."""

from __future__ import annotations

import dataclasses

from vortlink._native import LED_GROUP_COUNT, LedParametersStruct, LightheadDataStruct

# The C record's field decides how long a part number may be.
_PART_NUMBER_SIZE = LightheadDataStruct.part_number.size


@dataclasses.dataclass
class LedParameters:
    """One LED group of the lighthead, in engineering units.

    The controller's EEPROM image keeps each value in a narrower field (see ``vortlink.h``), so
    a value reads back truncated to that field; floats come back at single precision.
    """

    led_rth: float = 0.0
    """LED thermal resistance, degC/W."""
    tau: float = 0.0
    """Thermal time constant, ms."""
    vf_slope: float = 0.0
    """Forward-voltage slope."""
    vf_offset: float = 0.0
    """Forward-voltage offset, V."""
    tj_max: float = 0.0
    """Maximum junction temperature, whole degrees."""
    string_count: int = 0
    """Number of LED strings (0 to 15)."""
    leds_per_string: int = 0
    """LEDs in each string (0 to 15)."""
    heatsink_rth: float = 0.0
    """Heatsink thermal resistance, degC/W."""
    default_current: float = 0.0
    """Default LED current, A."""
    max_pulse_current: float = 0.0
    """Maximum pulsed LED current, A."""
    max_cont_current: float = 0.0
    """Maximum continuous LED current, A."""

    @classmethod
    def from_struct(cls, struct: LedParametersStruct) -> LedParameters:
        """The group held in a C ``LedParameters``."""
        return cls(**{field.name: getattr(struct, field.name) for field in dataclasses.fields(cls)})

    def to_struct(self) -> LedParametersStruct:
        """A C ``LedParameters`` holding this group (reserved bytes zero)."""
        struct = LedParametersStruct()
        for field in dataclasses.fields(self):
            setattr(struct, field.name, getattr(self, field.name))
        return struct


def _default_groups() -> list[LedParameters]:
    return [LedParameters() for _ in range(LED_GROUP_COUNT)]


@dataclasses.dataclass
class LightheadData:
    """The lighthead's data record: part number, programming date and four LED groups."""

    part_number: str = ""
    """Part number, at most 16 bytes in ISO 8859-1, stored byte for byte."""
    programmed_on: str = ""
    """Local time of the last write, e.g. "7-Dec-2026 4:59"; set by the library on writing."""
    led: list[LedParameters] = dataclasses.field(default_factory=_default_groups)
    """LED groups 0 to 3."""

    @classmethod
    def from_struct(cls, struct: LightheadDataStruct) -> LightheadData:
        """The record held in a C ``LightheadData``.

        The fixed-size texts are read up to their first zero byte or their end, whichever
        comes first.
        """
        return cls(
            part_number=_fixed_text(bytes(struct.part_number)),
            programmed_on=_fixed_text(bytes(struct.programmed_on)),
            led=[LedParameters.from_struct(group) for group in struct.led],
        )

    def to_struct(self) -> LightheadDataStruct:
        """A C ``LightheadData`` holding this record.

        Raises ``ValueError`` for a part number longer than its 16 bytes, a text with a NUL
        character (C would drop what follows it) or not four LED groups.
        """
        for name in ("part_number", "programmed_on"):
            if "\0" in getattr(self, name):
                raise ValueError(f"{name} {getattr(self, name)!r} contains a NUL character")
        part_number = self.part_number.encode("latin-1")
        if len(part_number) > _PART_NUMBER_SIZE:
            raise ValueError(f"part number {self.part_number!r} is longer than 16 bytes")
        if len(self.led) != LED_GROUP_COUNT:
            raise ValueError(f"a lighthead has {LED_GROUP_COUNT} LED groups, not {len(self.led)}")
        struct = LightheadDataStruct()
        struct.part_number = part_number
        struct.programmed_on = self.programmed_on.encode("latin-1")[: len(struct.programmed_on)]
        for index, group in enumerate(self.led):
            struct.led[index] = group.to_struct()
        return struct


def _fixed_text(field: bytes) -> str:
    return field.split(b"\0", 1)[0].decode("latin-1")
