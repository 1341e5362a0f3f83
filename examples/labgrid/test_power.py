"""Switches the target's power through its power driver, in file order.

    pytest --lg-env relay-target.yaml test_power.py
"""
import pytest


@pytest.fixture
def power(target):
    driver = target.get_driver("PowerProtocol")
    target.activate(driver)
    return driver


def test_power_on(power):
    power.on()


def test_power_off(power):
    power.off()


def test_power_cycle(power):
    power.cycle()
